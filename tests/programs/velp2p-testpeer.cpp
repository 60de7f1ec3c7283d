// A peer process for multi-process tests: it starts the local peer in standard mode on the endpoints of its
// configuration file (named by VELP2PConfig), reports every message that reaches its test service as one
// line on standard output, and obeys commands read line by line from standard input, all on its event loop.
//
// Output lines:
//   READY name=<peer name> tcp=<a.b.c.d>:<port>                     once started
//   MSG sender=<name> group=<group> payload=<text> reply=<a.b.c.d>:<port> transport=<tcp|mcast>
//   SENT <command> 0x<result> <milliseconds>                        after each send command
//   FAILED peer=<name> address=<a.b.c.d>:<port> service=<name> reason=<words>   a queued send was lost
//   ARMED, DISCONNECTED 0x<result>, FDS <count>, BYE, ERR <text>
// Commands (payloads are words without spaces):
//   group <group> <service> <payload>                      SendToGroup through the peer
//   send <a.b.c.d> <port> <group> <service> <payload>      SendToPeer to a peer known by that TCP endpoint
//   disconnect-on-message                                  the next message handled disconnects the peer
//   fds, quit
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <new>
#include <sstream>
#include <string>

#include "transport/VELP2PEndPointRecord.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELCommand.h"
#include "velp2p/VELIP2PMessage.h"
#include "velp2p/VELP2PCoreService.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PMessage.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"

namespace {

VELApplication* g_application = nullptr;
bool g_disconnectOnMessage = false;
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

std::string RecordText(const VELP2PEndPointInfo& record) {
  const uint8_t* address = reinterpret_cast<const uint8_t*>(&record.address);
  char text[32];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", address[0], address[1], address[2], address[3],
                VELP2PRecordPort(record));
  return text;
}

// Stands for a service of the mode so that the peer starts without the real ones; it accepts nothing.
class StubService : public VELP2PCoreService {
 public:
  VELResult Initialize() override { return VEL_S_OK; }
  const char* GetServiceName() override { return "TestPeerStubService"; }
  VELResult HandleMessage(VELIP2PMessage*) override { return VEL_S_OK; }
};

// Reports every message of every group addressed to "TestService".
class ReportingService : public VELP2PCoreService {
 public:
  VELResult Initialize() override { return VEL_S_OK; }
  const char* GetServiceName() override { return "TestService"; }
  VELResult internalFilterMessageFromGroup(VELUnicodeString&) override { return VEL_S_OK; }

  VELResult HandleMessage(VELIP2PMessage* message) override {
    VELUnicodeString sender, group;
    (void)message->GetSendingPeerName(sender);
    (void)message->GetMessageGroup(group);
    int length = 0;
    std::string payload;
    if (VEL_SUCCEEDED(message->GetBufferLenght(length)) && length > 0) {
      payload.resize(static_cast<size_t>(length));
      if (VEL_FAILED(message->GetBuffer(&payload[0])))
        payload.clear();
    }
    VELP2PEndPointInfo reply = {};
    if (auto* concrete = dynamic_cast<VELP2PMessage*>(message))
      (void)concrete->GetSendingPeerEPInfo(reply, VELP2P_MESSAGE_UNICAST);
    Say("MSG sender=" + sender.Str() + " group=" + group.Str() + " payload=" + payload +
        " reply=" + RecordText(reply) + " transport=" + (message->IsUnicast() ? "tcp" : "mcast"));
    if (g_disconnectOnMessage) {
      g_disconnectOnMessage = false;
      Say("DISCONNECTED " + ResultText(VELP2PPeer::GetLocalPeer()->Disconnect()));
    }
    return VEL_S_OK;
  }
};

int CountOpenDescriptors() {
  std::error_code error;
  std::filesystem::directory_iterator entries("/proc/self/fd", error);
  // The iterator holds a descriptor of its own while it lists them.
  return error ? -1 : static_cast<int>(std::distance(entries, std::filesystem::directory_iterator())) - 1;
}

void Execute(const std::string& line) {
  std::istringstream words(line);
  std::string command, address, group, service, payload;
  int port = 0;
  words >> command;
  const auto started = std::chrono::steady_clock::now();
  VELResult result = VEL_E_FAIL;
  if (command == "group") {
    if (!(words >> group >> service >> payload))
      return Say("ERR bad group command");
    VELUnicodeString target(group);
    result = VELP2PPeer::GetLocalPeer()->SendToGroup(target, service.c_str(), &payload[0],
                                                     static_cast<int>(payload.size()));
  } else if (command == "send") {
    VELP2PEndPointInfo record = {};
    if (!(words >> address >> port >> group >> service >> payload) ||
        VEL_FAILED(VELP2PMakeUnicastRecord(address.c_str(), port, record))) {
      return Say("ERR bad send command");
    }
    // A remote peer known by this one record, sent to the way the peer sends to any other.
    VELP2PPeerInfo remote(VELUnicodeString("remote"), 1, VELUnicodeString(group));
    VELUnicodeString target(group);
    if (VEL_SUCCEEDED(remote.Initialize(reinterpret_cast<const char*>(&record), sizeof(record))))
      result = VELP2PPeer::GetLocalPeer()->SendToPeer(target, service.c_str(), &payload[0],
                                                      static_cast<int>(payload.size()), &remote);
  } else if (command == "disconnect-on-message") {
    g_disconnectOnMessage = true;
    return Say("ARMED");
  } else if (command == "fds") {
    return Say("FDS " + std::to_string(CountOpenDescriptors()));
  } else if (command == "quit") {
    Say("BYE");
    return g_application->Stop();
  } else {
    return Say("ERR unknown command " + command);
  }
  const auto elapsed = std::chrono::steady_clock::now() - started;
  Say("SENT " + command + " " + ResultText(result) + " " +
      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
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
  for (const char* name : {"VELP2PGroupService", "VELP2PPeerService", "VELP2PDiscoveryService"})
    VELRegisterCreateExtension(name, []() -> VELBaseUnknown* { return new (std::nothrow) StubService(); });
  VELRegisterCreateExtension("VELP2PTestPeerReportingService",
                             []() -> VELBaseUnknown* { return new (std::nothrow) ReportingService(); });

  VELApplication application;
  g_application = &application;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  VELResult started = peer->InitP2P();
  if (VEL_SUCCEEDED(started))
    started = peer->RegisterService("VELP2PTestPeerReportingService");
  VELListPtrVELP2PEndPoint* unicast = peer->GetUnicastEndPoints();
  if (VEL_FAILED(started) || !unicast || unicast->Size() < 1 || !(*unicast)[1]) {
    Say("ERR start-up failed " + ResultText(started));
    return 2;
  }
  AddCallback(nullptr, peer->GetP2PPublisher(), "VELP2PSendFailedNotif", [](VELNotification* notification) {
    auto* failed = static_cast<VELP2PSendFailedNotif*>(notification);
    Say("FAILED peer=" + failed->getPeerName()->Str() + " address=" + failed->getAddress() +
        " service=" + failed->getService() + " reason=" + failed->getReason());
  });
  Say("READY name=" + peer->GetPeerName()->Str() + " tcp=" + RecordText(*(*unicast)[1]->GetEndPointInfo()));

  VELCommand inputOwner(nullptr, "TestPeerInput");
  application.AddFileDescriptor(STDIN_FILENO, &inputOwner, nullptr, &OnInput);
  int ran = application.Run();
  application.RemoveFileDescriptor(STDIN_FILENO, &inputOwner);
  if (VELP2PPeer::IsConnected())
    peer->Disconnect();
  return ran == 0 ? 0 : 1;
}
