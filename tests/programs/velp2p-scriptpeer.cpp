// A peer process for multi-process tests, driven like a console: it starts the local peer on the endpoints
// of its configuration file (VELP2PConfig), in the collaboration mode (named after VELP2PLogin) or, with
// --standard, in the standard mode with a test service, prints every notification as one line on standard
// output, and obeys commands read line by line from standard input, all on its event loop.
//
// Texts and bytes of the collaboration mode are written in hexadecimal ("-" for none).
// Output lines:
//   READY name=<name>, INIT peer=<name>, CLOSE peer=<name>, NOTIF <class> peer=<name>
//   BIRTH peer=<name>, DEATH peer=<name>, STATUS peer=<name> status=<n> desc=<hex>
//   MESSAGE peer=<name> type=<n> header=<hex> data=<hex>, SESSION peer=<name> type=<n> event=<hex byte>
//   CURRENT group=<group>, SUBGROUP group=<group> subgroups=<a,b,...>, CREATE peer=<name>,
//   DESTRUCT peer=<name>, CROSS peer=<name> group=<group>, RESULT peer=<name> group=<group>
//   MSG sender=<name> group=<group> text=<payload>          the test service received a message
//   PEERS <names...> (sorted), SUBGROUPS <names...>, STATUSOF peer=<name> status=<n|none> desc=<hex>,
//   SELF status=<n> desc=<hex>, DONE <command> 0x<result>, BYE, ERR <text>
// Commands:
//   status <n> <hex desc>, msg <peer> <type> <hex header> <hex data>, open|close <peer> <type>,
//   statusof <peer>, self, disconnect, join <name>, leave, subgroups, search, sendcross <peer> <text>,
//   peers (connected peers, or the group's in the standard mode), quit (the collaboration mode leaves the
//   closing to the exit clean-up; the standard mode disconnects first)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "velp2p/VELApplication.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELCommand.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELIP2PMessage.h"
#include "velp2p/VELListValVELUnicodeString.h"
#include "velp2p/VELP2PCoreService.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"

namespace {

const char kTestService[] = "ScriptPeerTest";  // its group filter is the library's group rule

VELApplication* g_application = nullptr;
bool g_standard = false;
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

std::string Hex(const std::string& bytes) {
  std::string text;
  char pair[3];
  for (unsigned char byte : bytes) {
    std::snprintf(pair, sizeof(pair), "%02x", byte);
    text += pair;
  }
  return text.empty() ? "-" : text;
}

// The bytes of a hexadecimal text, up to its first character that is not a hexadecimal digit pair.
std::string Unhex(const std::string& text) {
  std::string bytes;
  unsigned int value = 0;
  for (size_t i = 0; i + 1 < text.size() && std::sscanf(text.c_str() + i, "%2x", &value) == 1; i += 2)
    bytes.push_back(static_cast<char>(value));
  return bytes;
}

std::string Text(const VELUnicodeString* text) {
  return text ? text->Str() : "-";
}

// A head and the names, sorted.
std::string List(const char* head, std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  std::string text = head;
  for (const std::string& name : names)
    text += " " + name;
  return text;
}

// Reports what reaches it, through the group rule of every core service.
class ScriptPeerTestService : public VELP2PCoreService {
 public:
  VELResult Initialize() override { return VEL_S_OK; }
  const char* GetServiceName() override { return kTestService; }
  VELResult HandleMessage(VELIP2PMessage* message) override {
    VELUnicodeString sender, group;
    int length = 0;
    if (VEL_FAILED(message->GetSendingPeerName(sender)) || VEL_FAILED(message->GetMessageGroup(group)) ||
        VEL_FAILED(message->GetBufferLenght(length)) || length <= 0)
      return VEL_E_FAIL;
    std::string payload(static_cast<size_t>(length), '\0');
    if (VEL_FAILED(message->GetBuffer(&payload[0])))
      return VEL_E_FAIL;
    Say("MSG sender=" + sender.Str() + " group=" + group.Str() + " text=" + payload);
    return VEL_S_OK;
  }
};

VELBaseUnknown* CreateTestService() {
  return new (std::nothrow) ScriptPeerTestService();
}

void OnNotification(VELNotification* notification) {
  auto* p2p = dynamic_cast<VELP2PNotif*>(notification);
  if (!p2p)
    return;
  const std::string kind = notification->IsA();
  const std::string peer = "peer=" + Text(p2p->getPeerName());
  const char* const kPlain[][2] = {
      {"VELP2PInitPeerNotif", "INIT"},    {"VELP2PClosePeerNotif", "CLOSE"},
      {"VELP2PPeerBirthNotif", "BIRTH"},  {"VELP2PPeerDeathNotif", "DEATH"},
      {"VELP2PPeerCreatNotif", "CREATE"}, {"VELP2PPeerDestructNotif", "DESTRUCT"}};
  for (const auto& plain : kPlain) {
    if (kind == plain[0])
      return Say(std::string(plain[1]) + " " + peer);
  }
  if (auto* change = dynamic_cast<VELP2PChangeStatusNotif*>(notification)) {
    VELUnicodeString desc;
    change->getDescription(desc);
    Say("STATUS " + peer + " status=" + std::to_string(change->getStatus()) + " desc=" + Hex(desc.Str()));
  } else if (auto* message = dynamic_cast<VELP2PMessageReceivedNotif*>(notification)) {
    Say("MESSAGE " + peer + " type=" + std::to_string(message->getType()) +
        " header=" + Hex(message->getHeader() ? message->getHeader()->Str() : "") +
        " data=" + Hex(std::string(message->getBuffer(), static_cast<size_t>(message->getLength()))));
  } else if (auto* session = dynamic_cast<VELP2PSessionNotif*>(notification)) {
    Say("SESSION " + peer + " type=" + std::to_string(session->getSessionType()) +
        " event=" + Hex(std::string(1, static_cast<char>(session->getEventType()))));
  } else if (auto* cross = dynamic_cast<VELP2PCrossGroupPeerCreatNotif*>(notification)) {
    Say("CROSS " + peer + " group=" + Text(cross->getGroupName()));
  } else if (auto* result = dynamic_cast<VELP2PSearchResultNotif*>(notification)) {
    Say("RESULT " + peer + " group=" + Text(result->getGroupName()));
  } else if (kind == "VELP2PCurrentGroupModifNotif") {
    Say("CURRENT group=" + Text(static_cast<VELP2PGroupModifNotif*>(notification)->getCurrentGroup()));
  } else if (kind == "VELP2PSubGroupModifNotif") {
    auto* change = static_cast<VELP2PGroupModifNotif*>(notification);
    std::string names;
    const VELListValVELUnicodeString* subGroups = change->getSubGroups();
    for (int i = 1; subGroups && i <= subGroups->Size(); ++i)
      names += (i > 1 ? "," : "") + (*subGroups)[i].Str();
    Say("SUBGROUP group=" + Text(change->getCurrentGroup()) + " subgroups=" + names);
  } else {
    Say("NOTIF " + kind + " " + peer);
  }
}

void Execute(const std::string& line) {
  std::istringstream words(line);
  std::string command, name, first, second;
  int number = 0;
  words >> command;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  VELResult result = VEL_S_OK;
  std::vector<std::string> names;
  if (command == "status" && words >> number >> first) {
    result = peer->ChangeP2PStatus(number, Unhex(first));
  } else if (command == "msg" && words >> name >> number >> first >> second) {
    std::string data = Unhex(second);
    result = peer->SendP2PMessage(name, static_cast<unsigned char>(number), Unhex(first),
                                  data.empty() ? nullptr : &data[0], static_cast<int>(data.size()));
  } else if ((command == "open" || command == "close") && words >> name >> number) {
    result = command == "open" ? peer->OpenP2PSession(name, number) : peer->CloseP2PSession(name, number);
  } else if (command == "disconnect") {
    result = peer->Disconnect();
  } else if (command == "join" && words >> name) {
    VELUnicodeString text(name);
    result = peer->CreateAndOrJoinSubGroup(&text);
  } else if (command == "leave") {
    result = peer->LeaveCurrentGroup();
  } else if (command == "search") {
    result = peer->CrossGroupPeerSearch();
  } else if (command == "sendcross" && words >> name >> first) {
    VELUnicodeString target(name), unused("/unused");
    result =
        peer->SendToPeerCrossGroup(unused, kTestService, &first[0], static_cast<int>(first.size()), target);
  } else if (command == "statusof" && words >> name) {
    VELP2PUserStatus status = 0;
    VELUnicodeString desc;
    const bool known = VEL_SUCCEEDED(peer->GetStatusAndDesc(name, status, desc));
    return Say("STATUSOF peer=" + name + " status=" + (known ? std::to_string(status) : "none") +
               " desc=" + Hex(desc.Str()));
  } else if (command == "self") {
    return Say("SELF status=" + std::to_string(peer->GetStatus()) + " desc=" + Hex(peer->GetDesc().Str()));
  } else if (command == "peers" && !g_standard) {
    VELListValVELUnicodeString connected;
    (void)peer->GetConnectedPeers(connected);
    for (const VELUnicodeString& connectedName : connected)
      names.push_back(connectedName.Str());
    return Say(List("PEERS", names));
  } else if (command == "peers") {
    VELHashDicVELP2PPeerInfo* directory = peer->GetGroupPeers();
    int bucket = 1, position = 0;
    while (VELP2PPeerInfo* info = directory ? directory->Next(bucket, position) : nullptr)
      names.push_back(info->name.Str());
    return Say(List("PEERS", names));
  } else if (command == "subgroups") {
    std::string text = "SUBGROUPS";
    for (const VELUnicodeString& subGroup : *peer->GetSubGroups())
      text += " " + subGroup.Str();
    return Say(text);
  } else if (command == "quit") {
    return g_application->Stop();
  } else {
    return Say("ERR cannot run " + line);
  }
  Say("DONE " + command + " " + ResultText(result));
}

void OnInput(int descriptor, void*, void*) {
  char chunk[4096];
  ssize_t count = read(descriptor, chunk, sizeof(chunk));
  if (count <= 0)
    return g_application->Stop();  // the test closed our input or went away
  g_pendingInput.append(chunk, static_cast<size_t>(count));
  size_t end;
  while ((end = g_pendingInput.find('\n')) != std::string::npos) {
    std::string line = g_pendingInput.substr(0, end);
    g_pendingInput.erase(0, end + 1);
    Execute(line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  g_standard = argc > 1 && std::strcmp(argv[1], "--standard") == 0;
  VELRegisterCreateExtension("VELP2PScriptPeerTestService", &CreateTestService);
  VELApplication application;
  g_application = &application;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  // Subscribed before the start-up so that its notifications are printed too, and kept to the end so that
  // the close notification of the collaboration mode's exit clean-up is printed as well.
  AddCallback(nullptr, peer->GetP2PPublisher(), "VELP2PNotif", &OnNotification);
  VELResult started = g_standard ? peer->InitP2P() : peer->InitP2PForRTC();
  if (VEL_SUCCEEDED(started) && g_standard)
    started = peer->RegisterService("VELP2PScriptPeerTestService");
  if (VEL_FAILED(started)) {
    Say("ERR start-up failed " + ResultText(started));
    return 2;
  }
  Say("READY name=" + peer->GetPeerName()->Str());

  VELCommand inputOwner(nullptr, "ScriptPeerInput");
  application.AddFileDescriptor(STDIN_FILENO, &inputOwner, nullptr, &OnInput);
  int ran = application.Run();
  application.RemoveFileDescriptor(STDIN_FILENO, &inputOwner);
  // The standard mode's leave goes out while the endpoints still exist.
  Say("BYE " + ResultText(g_standard ? peer->Disconnect() : VEL_S_OK));
  return ran == 0 ? 0 : 1;
}
