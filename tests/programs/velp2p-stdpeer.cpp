// A standard-mode peer process for multi-process tests: it starts the local peer with the library's group,
// peer and discovery services on the endpoints of its configuration file, prints every notification it
// receives as one line on standard output, and obeys commands read line by line from standard input, all
// on its event loop.
//
// Usage: velp2p-stdpeer
// Environment: VELP2PConfig names the endpoint configuration file.
//
// Output lines:
//   READY name=<peer name> group=<current group>            once started
//   CURRENT group=<group>                                   the current group changed
//   SUBGROUP group=<current group> subgroups=<a,b,...>      a sub-group was learnt
//   CREATE peer=<name>, DESTRUCT peer=<name>                a peer entered or left the group's directory
//   CROSS peer=<name> group=<group>                         a peer entered the cross-group directory
//   RESULT peer=<name> group=<group>                        a search answer
//   INIT peer=<name>, CLOSE peer=<name>, NOTIF <class> peer=<name>
//   MSG sender=<name> group=<group> text=<payload>          the test service received a message
//   PEERS <names...>                                        answer to peers, sorted
//   SUBGROUPS <names...>                                    answer to subgroups, in the order learnt
//   DONE <command> 0x<result>                               after join, leave, search and sendcross
//   BYE, ERR <text>
// Commands:
//   join <name>, leave, peers, subgroups, search, sendcross <peer name> <text>, quit
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "velp2p/VELApplication.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELCommand.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELIP2PMessage.h"
#include "velp2p/VELP2PCoreService.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"

namespace {

// The wire name of the test service; its group filter is the library's group rule.
const char kTestService[] = "StdPeerTest";

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

std::string Text(const VELUnicodeString* text) {
  return text ? text->Str() : "-";
}

// Reports what reaches the test service, through the group rule of every core service.
class StdPeerTestService : public VELP2PCoreService {
 public:
  VELResult Initialize() override { return VEL_S_OK; }
  const char* GetServiceName() override { return kTestService; }
  VELResult HandleMessage(VELIP2PMessage* message) override {
    VELUnicodeString sender;
    VELUnicodeString group;
    int length = 0;
    if (VEL_FAILED(message->GetSendingPeerName(sender)) || VEL_FAILED(message->GetMessageGroup(group)) ||
        VEL_FAILED(message->GetBufferLenght(length)) || length <= 0) {
      return VEL_E_FAIL;
    }
    std::vector<char> payload(static_cast<size_t>(length));
    if (VEL_FAILED(message->GetBuffer(payload.data())))
      return VEL_E_FAIL;
    Say("MSG sender=" + sender.Str() + " group=" + group.Str() +
        " text=" + std::string(payload.begin(), payload.end()));
    return VEL_S_OK;
  }
};

VELBaseUnknown* CreateTestService() {
  return new (std::nothrow) StdPeerTestService();
}

void OnNotification(VELNotification* notification) {
  auto* p2p = dynamic_cast<VELP2PNotif*>(notification);
  if (!p2p)
    return;
  const std::string kind = notification->IsA();
  const std::string peer = Text(p2p->getPeerName());
  if (kind == "VELP2PCurrentGroupModifNotif") {
    Say("CURRENT group=" + Text(static_cast<VELP2PGroupModifNotif*>(notification)->getCurrentGroup()));
  } else if (kind == "VELP2PSubGroupModifNotif") {
    auto* change = static_cast<VELP2PGroupModifNotif*>(notification);
    std::string names;
    if (change->getSubGroups()) {
      for (const VELUnicodeString& name : *change->getSubGroups())
        names += (names.empty() ? "" : ",") + name.Str();
    }
    Say("SUBGROUP group=" + Text(change->getCurrentGroup()) + " subgroups=" + names);
  } else if (kind == "VELP2PPeerCreatNotif") {
    Say("CREATE peer=" + peer);
  } else if (kind == "VELP2PPeerDestructNotif") {
    Say("DESTRUCT peer=" + peer);
  } else if (kind == "VELP2PCrossGroupPeerCreatNotif") {
    Say("CROSS peer=" + peer +
        " group=" + Text(static_cast<VELP2PCrossGroupPeerCreatNotif*>(notification)->getGroupName()));
  } else if (kind == "VELP2PSearchResultNotif") {
    Say("RESULT peer=" + peer +
        " group=" + Text(static_cast<VELP2PSearchResultNotif*>(notification)->getGroupName()));
  } else if (kind == "VELP2PInitPeerNotif") {
    Say("INIT peer=" + peer);
  } else if (kind == "VELP2PClosePeerNotif") {
    Say("CLOSE peer=" + peer);
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
  if (command == "join") {
    std::string name;
    if (!(words >> name))
      return Say("ERR join needs a name");
    VELUnicodeString text(name);
    Say("DONE join " + ResultText(peer->CreateAndOrJoinSubGroup(&text)));
  } else if (command == "leave") {
    Say("DONE leave " + ResultText(peer->LeaveCurrentGroup()));
  } else if (command == "search") {
    Say("DONE search " + ResultText(peer->CrossGroupPeerSearch()));
  } else if (command == "sendcross") {
    std::string name, text;
    if (!(words >> name >> text))
      return Say("ERR sendcross needs a peer name and a text");
    VELUnicodeString target(name);
    VELUnicodeString unused("/unused");
    std::vector<char> data(text.begin(), text.end());
    VELResult result =
        peer->SendToPeerCrossGroup(unused, kTestService, data.data(), static_cast<int>(data.size()), target);
    Say("DONE sendcross " + ResultText(result));
  } else if (command == "peers") {
    std::vector<std::string> names;
    if (VELHashDicVELP2PPeerInfo* directory = peer->GetGroupPeers()) {
      int bucket = 1, position = 0;
      while (VELP2PPeerInfo* info = directory->Next(bucket, position))
        names.push_back(info->name.Str());
    }
    std::sort(names.begin(), names.end());
    std::string text = "PEERS";
    for (const std::string& name : names)
      text += " " + name;
    Say(text);
  } else if (command == "subgroups") {
    std::string text = "SUBGROUPS";
    if (const VELListValVELUnicodeString* subGroups = peer->GetSubGroups()) {
      for (const VELUnicodeString& name : *subGroups)
        text += " " + name.Str();
    }
    Say(text);
  } else if (command == "quit") {
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
  VELRegisterCreateExtension("VELP2PStdPeerTestService", &CreateTestService);
  VELApplication application;
  g_application = &application;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  // Subscribed before the start-up, so that its notifications are printed too.
  VELCallback* subscription = AddCallback(nullptr, peer->GetP2PPublisher(), "VELP2PNotif", &OnNotification);
  VELResult started = peer->InitP2P();
  if (VEL_FAILED(started)) {
    Say("ERR start-up failed " + ResultText(started));
    return 2;
  }
  VELResult registered = peer->RegisterService("VELP2PStdPeerTestService");
  if (VEL_FAILED(registered)) {
    Say("ERR service registration failed " + ResultText(registered));
    return 2;
  }
  Say("READY name=" + peer->GetPeerName()->Str() + " group=" + peer->GetCurrentGroup()->Str());

  VELCommand inputOwner(nullptr, "StdPeerInput");
  application.AddFileDescriptor(STDIN_FILENO, &inputOwner, nullptr, &OnInput);
  int ran = application.Run();
  application.RemoveFileDescriptor(STDIN_FILENO, &inputOwner);
  // The close notification makes the peer service send its leave while the endpoints still exist.
  VELResult disconnected = peer->Disconnect();
  RemoveCallback(subscription);
  Say("BYE " + ResultText(disconnected));
  return ran == 0 ? 0 : 1;
}
