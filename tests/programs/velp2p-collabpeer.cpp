// A collaboration-mode peer process for multi-process tests, used like a console: it starts the local peer
// with the library's awareness, status, chat and session services on the endpoints of its configuration
// file, prints every notification as one line on standard output, and obeys commands read line by line from
// standard input, all on its event loop. The library's own diagnostic lines appear in the output too.
//
// Usage: velp2p-collabpeer
// Environment: VELP2PConfig names the endpoint configuration file, VELP2PLogin the peer ("<login>_KVZ").
//
// Texts and bytes are written in hexadecimal ("-" for none), so that any byte travels on one line.
// Output lines:
//   READY name=<peer name>                                  once started
//   INIT peer=<name>, CLOSE peer=<name>                     the local peer started or is closing
//   BIRTH peer=<name>, DEATH peer=<name>                    a peer entered or left the connected peers
//   STATUS peer=<name> status=<n> desc=<hex>                a status report, the local one included
//   MESSAGE peer=<name> type=<n> header=<hex> data=<hex>    an application message
//   SESSION peer=<name> type=<n> event=<hex byte>           a session event, naming the other party
//   NOTIF <class> peer=<name>                               any other notification
//   PEERS <names...>                                        answer to peers, sorted
//   STATUSOF peer=<name> status=<n> desc=<hex>              answer to statusof ("status=none" when unknown)
//   SELF status=<n> desc=<hex>                              answer to self: the local status and description
//   DONE <command> 0x<result>                               after status, msg, open, close and disconnect
//   BYE, ERR <text>
// Commands:
//   status <n> <hex desc>, msg <peer> <type> <hex header> <hex data>, open <peer> <type>,
//   close <peer> <type>, peers, statusof <peer>, self, disconnect,
//   quit (ends the loop and returns from main without disconnecting: the exit clean-up closes the peer)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "velp2p/VELApplication.h"
#include "velp2p/VELCommand.h"
#include "velp2p/VELListValVELUnicodeString.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"

namespace {

VELApplication* g_application = nullptr;
std::string g_pendingInput;  // standard input read but not yet a whole line

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string ResultText(VELResult result) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(result));
  return text;
}

std::string Hex(const char* data, size_t length) {
  if (!data || length == 0)
    return "-";
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(data[i]);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::string Hex(const std::string& bytes) {
  return Hex(bytes.data(), bytes.size());
}

bool Unhex(const std::string& text, std::string& bytes) {
  bytes.clear();
  if (text == "-")
    return true;
  if (text.size() % 2 != 0)
    return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned int value = 0;
    if (std::sscanf(text.c_str() + i, "%2x", &value) != 1)
      return false;
    bytes.push_back(static_cast<char>(value));
  }
  return true;
}

std::string Text(const VELUnicodeString* text) {
  return text ? text->Str() : "-";
}

void OnNotification(VELNotification* notification) {
  auto* p2p = dynamic_cast<VELP2PNotif*>(notification);
  if (!p2p)
    return;
  const std::string kind = notification->IsA();
  const std::string peer = Text(p2p->getPeerName());
  if (kind == "VELP2PInitPeerNotif") {
    Say("INIT peer=" + peer);
  } else if (kind == "VELP2PClosePeerNotif") {
    Say("CLOSE peer=" + peer);
  } else if (kind == "VELP2PPeerBirthNotif") {
    Say("BIRTH peer=" + peer);
  } else if (kind == "VELP2PPeerDeathNotif") {
    Say("DEATH peer=" + peer);
  } else if (kind == "VELP2PChangeStatusNotif") {
    auto* change = static_cast<VELP2PChangeStatusNotif*>(notification);
    VELUnicodeString desc;
    change->getDescription(desc);
    Say("STATUS peer=" + peer + " status=" + std::to_string(change->getStatus()) +
        " desc=" + Hex(desc.Str()));
  } else if (kind == "VELP2PMessageReceivedNotif") {
    auto* message = static_cast<VELP2PMessageReceivedNotif*>(notification);
    Say("MESSAGE peer=" + peer + " type=" + std::to_string(message->getType()) +
        " header=" + Hex(message->getHeader() ? message->getHeader()->Str() : std::string()) +
        " data=" + Hex(message->getBuffer(), message->getLength()));
  } else if (kind == "VELP2PSessionNotif") {
    auto* session = static_cast<VELP2PSessionNotif*>(notification);
    const char event = static_cast<char>(session->getEventType());
    Say("SESSION peer=" + peer + " type=" + std::to_string(session->getSessionType()) +
        " event=" + Hex(&event, 1));
  } else {
    Say("NOTIF " + kind + " peer=" + peer);
  }
}

void Execute(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  if (command.empty())
    return;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (command == "status") {
    int status = 0;
    std::string hex, desc;
    if (!(words >> status >> hex) || !Unhex(hex, desc))
      return Say("ERR status needs a number and a hex description");
    Say("DONE status " + ResultText(peer->ChangeP2PStatus(status, desc)));
  } else if (command == "msg") {
    std::string name, headerHex, dataHex, header, data;
    int type = 0;
    if (!(words >> name >> type >> headerHex >> dataHex) || !Unhex(headerHex, header) ||
        !Unhex(dataHex, data))
      return Say("ERR msg needs a peer, a type, a hex header and hex data");
    VELResult result = peer->SendP2PMessage(name, static_cast<unsigned char>(type), header,
                                            data.empty() ? nullptr : &data[0], static_cast<int>(data.size()));
    Say("DONE msg " + ResultText(result));
  } else if (command == "open" || command == "close") {
    std::string name;
    int type = 0;
    if (!(words >> name >> type))
      return Say("ERR " + command + " needs a peer and a session type");
    VELResult result =
        command == "open" ? peer->OpenP2PSession(name, type) : peer->CloseP2PSession(name, type);
    Say("DONE " + command + " " + ResultText(result));
  } else if (command == "peers") {
    VELListValVELUnicodeString names;
    (void)peer->GetConnectedPeers(names);
    std::vector<std::string> sorted;
    for (const VELUnicodeString& name : names)
      sorted.push_back(name.Str());
    std::sort(sorted.begin(), sorted.end());
    std::string text = "PEERS";
    for (const std::string& name : sorted)
      text += " " + name;
    Say(text);
  } else if (command == "statusof") {
    std::string name;
    if (!(words >> name))
      return Say("ERR statusof needs a peer");
    VELP2PUserStatus status = 0;
    VELUnicodeString desc;
    if (VEL_FAILED(peer->GetStatusAndDesc(name, status, desc)))
      return Say("STATUSOF peer=" + name + " status=none desc=-");
    Say("STATUSOF peer=" + name + " status=" + std::to_string(status) + " desc=" + Hex(desc.Str()));
  } else if (command == "self") {
    Say("SELF status=" + std::to_string(peer->GetStatus()) + " desc=" + Hex(peer->GetDesc().Str()));
  } else if (command == "disconnect") {
    Say("DONE disconnect " + ResultText(peer->Disconnect()));
  } else if (command == "quit") {
    Say("BYE");
    g_application->Stop();
  } else {
    Say("ERR unknown command " + command);
  }
}

void OnInput(int descriptor, void*, void*) {
  char chunk[4096];
  ssize_t count = read(descriptor, chunk, sizeof(chunk));
  if (count <= 0) {
    // The test closed our input or went away: nothing more will come.
    g_application->Stop();
    return;
  }
  g_pendingInput.append(chunk, static_cast<size_t>(count));
  size_t end;
  while ((end = g_pendingInput.find('\n')) != std::string::npos) {
    std::string line = g_pendingInput.substr(0, end);
    g_pendingInput.erase(0, end + 1);
    Execute(line);
  }
}

}  // namespace

int main() {
  VELApplication application;
  g_application = &application;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  // Subscribed before the start-up so that its notifications are printed too. The subscription is kept to
  // the end: the exit clean-up's close notification is printed as well.
  AddCallback(nullptr, peer->GetP2PPublisher(), "VELP2PNotif", &OnNotification);
  VELResult started = peer->InitP2PForRTC();
  if (VEL_FAILED(started)) {
    Say("ERR start-up failed " + ResultText(started));
    return 2;
  }
  Say("READY name=" + peer->GetPeerName()->Str());

  VELCommand inputOwner(nullptr, "CollabPeerInput");
  application.AddFileDescriptor(STDIN_FILENO, &inputOwner, nullptr, &OnInput);
  int ran = application.Run();
  application.RemoveFileDescriptor(STDIN_FILENO, &inputOwner);
  return ran == 0 ? 0 : 1;
}
