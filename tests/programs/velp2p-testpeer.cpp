// A peer process for multi-process tests: it starts the local peer on the endpoints of its configuration
// file, reports every message that reaches its test service as one line on standard output, and obeys
// commands read line by line from standard input, all on its event loop.
//
// Usage: velp2p-testpeer [--rtc]   (collaboration mode with --rtc, standard mode otherwise)
// Environment: VELP2PConfig names the endpoint configuration file; VELP2PLogin names a collaboration peer.
//
// Output lines:
//   READY name=<peer name> tcp=<a.b.c.d>:<port> mcast=<port>        once started (- for a missing endpoint)
//   MSG sender=<name> group=<group> service=TestService payload=<hex or -> reply=<a.b.c.d>:<port>
//       transport=<tcp|mcast>                                       for every message the test service gets
//   SENT <command> 0x<result> <milliseconds>                        after each send command
//   ARMED, DISCONNECTED 0x<result>, FDS <count>, BYE, ERR <text>
// Commands:
//   group <group> <service> <hex or ->                     SendToGroup through the peer
//   send <a.b.c.d> <port> <group> <service> <hex or ->     point to point through the unicast endpoints
//   reply <group> <service> <hex or ->                     to the unicast endpoint of the last sender
//   disconnect-on-message                                  the next message handled disconnects the peer
//   disconnect, fds, quit
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "transport/VELP2PEndPointRecord.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELCommand.h"
#include "velp2p/VELIP2PMessage.h"
#include "velp2p/VELP2PCoreService.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PMessage.h"
#include "velp2p/VELP2PPeer.h"

namespace {

struct TestPeerState {
  VELApplication* application = nullptr;
  bool disconnectOnMessage = false;
  bool haveLastSender = false;
  VELP2PEndPointInfo lastSender = {};  // unicast endpoint of the last sender
  std::string pendingInput;            // standard input read but not yet a whole line
};

TestPeerState g_state;

std::string Hex(const char* data, int length) {
  if (length <= 0)
    return "-";
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(data[i]);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

bool Unhex(const std::string& text, std::vector<char>& bytes) {
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

std::string RecordText(const VELP2PEndPointInfo& record) {
  const uint8_t* address = reinterpret_cast<const uint8_t*>(&record.address);
  char text[32];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", address[0], address[1], address[2], address[3],
                VELP2PRecordPort(record));
  return text;
}

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string ResultText(VELResult result) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(result));
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
    VELUnicodeString sender;
    VELUnicodeString group;
    (void)message->GetSendingPeerName(sender);
    (void)message->GetMessageGroup(group);
    int length = 0;
    std::vector<char> payload;
    if (VEL_SUCCEEDED(message->GetBufferLenght(length)) && length > 0) {
      payload.resize(static_cast<size_t>(length));
      if (VEL_FAILED(message->GetBuffer(payload.data())))
        payload.clear();
    }
    VELP2PEndPointInfo reply = {};
    auto* concrete = dynamic_cast<VELP2PMessage*>(message);
    if (concrete && VEL_SUCCEEDED(concrete->GetSendingPeerEPInfo(reply, VELP2P_MESSAGE_UNICAST))) {
      g_state.lastSender = reply;
      g_state.haveLastSender = true;
    }
    Say("MSG sender=" + sender.Str() + " group=" + group.Str() +
        " service=TestService payload=" + Hex(payload.data(), static_cast<int>(payload.size())) +
        " reply=" + RecordText(reply) + " transport=" + (message->IsUnicast() ? "tcp" : "mcast"));
    if (g_state.disconnectOnMessage) {
      g_state.disconnectOnMessage = false;
      Say("DISCONNECTED " + ResultText(VELP2PPeer::GetLocalPeer()->Disconnect()));
    }
    return VEL_S_OK;
  }
};

VELBaseUnknown* CreateStub() {
  return new (std::nothrow) StubService();
}

VELBaseUnknown* CreateReporting() {
  return new (std::nothrow) ReportingService();
}

// Sends through the local unicast endpoints in order, as the peer does for one remote record.
VELResult SendToRecord(VELUnicodeString& group, const std::string& service, std::vector<char>& data,
                       VELP2PEndPointInfo& record) {
  VELListPtrVELP2PEndPoint* endpoints = VELP2PPeer::GetLocalPeer()->GetUnicastEndPoints();
  char empty = 0;
  char* bytes = data.empty() ? &empty : data.data();
  for (int i = 1; endpoints && i <= endpoints->Size(); ++i) {
    VELP2PEndPoint* endpoint = (*endpoints)[i];
    if (endpoint && VEL_SUCCEEDED(endpoint->SendToPeer(group, service.c_str(), bytes,
                                                       static_cast<int>(data.size()), &record, nullptr))) {
      return VEL_S_OK;
    }
  }
  return VEL_E_FAIL;
}

int CountOpenDescriptors() {
  DIR* directory = opendir("/proc/self/fd");
  if (!directory)
    return -1;
  int count = 0;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.')
      ++count;
  }
  closedir(directory);
  return count - 1;  // the directory's own descriptor
}

void Execute(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  if (command.empty())
    return;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  auto started = std::chrono::steady_clock::now();
  auto elapsedMs = [&started]() {
    return std::to_string(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count());
  };
  std::vector<char> data;
  if (command == "group") {
    std::string group, service, hex;
    if (!(words >> group >> service >> hex) || !Unhex(hex, data))
      return Say("ERR bad group command");
    VELUnicodeString target(group);
    char empty = 0;
    VELResult result = peer->SendToGroup(target, service.c_str(), data.empty() ? &empty : data.data(),
                                         static_cast<int>(data.size()));
    Say("SENT group " + ResultText(result) + " " + elapsedMs());
  } else if (command == "send" || command == "reply") {
    std::string address, group, service, hex;
    int port = 0;
    VELP2PEndPointInfo record = {};
    if (command == "send") {
      if (!(words >> address >> port) || VEL_FAILED(VELP2PMakeUnicastRecord(address.c_str(), port, record))) {
        return Say("ERR bad address");
      }
    } else {
      if (!g_state.haveLastSender)
        return Say("ERR no sender yet");
      record = g_state.lastSender;
    }
    if (!(words >> group >> service >> hex) || !Unhex(hex, data))
      return Say("ERR bad send command");
    VELUnicodeString target(group);
    VELResult result = SendToRecord(target, service, data, record);
    Say("SENT " + command + " " + ResultText(result) + " " + elapsedMs());
  } else if (command == "disconnect-on-message") {
    g_state.disconnectOnMessage = true;
    Say("ARMED");
  } else if (command == "disconnect") {
    Say("DISCONNECTED " + ResultText(peer->Disconnect()));
  } else if (command == "fds") {
    Say("FDS " + std::to_string(CountOpenDescriptors()));
  } else if (command == "quit") {
    Say("BYE");
    g_state.application->Stop();
  } else {
    Say("ERR unknown command " + command);
  }
}

void OnInput(int descriptor, void*, void*) {
  char chunk[4096];
  ssize_t count = read(descriptor, chunk, sizeof(chunk));
  if (count <= 0) {
    // The test closed our input or went away: nothing more will come.
    g_state.application->Stop();
    return;
  }
  g_state.pendingInput.append(chunk, static_cast<size_t>(count));
  size_t end;
  while ((end = g_state.pendingInput.find('\n')) != std::string::npos) {
    std::string line = g_state.pendingInput.substr(0, end);
    g_state.pendingInput.erase(0, end + 1);
    Execute(line);
  }
}

std::string FirstRecordText(VELListPtrVELP2PEndPoint* endpoints, bool portOnly) {
  if (!endpoints || endpoints->Size() < 1 || !(*endpoints)[1])
    return "-";
  const VELP2PEndPointInfo& record = *(*endpoints)[1]->GetEndPointInfo();
  return portOnly ? std::to_string(VELP2PRecordPort(record)) : RecordText(record);
}

}  // namespace

int main(int argc, char** argv) {
  const bool rtc = argc > 1 && std::strcmp(argv[1], "--rtc") == 0;
  static const char* const kModeServices[] = {
      "VELP2PAwarenessService", "VELP2PStatusService", "VELP2PChatService",     "VELP2PSessionService",
      "VELP2PGroupService",     "VELP2PPeerService",   "VELP2PDiscoveryService"};
  for (const char* name : kModeServices)
    VELRegisterCreateExtension(name, &CreateStub);
  VELRegisterCreateExtension("VELP2PTestPeerReportingService", &CreateReporting);

  VELApplication application;
  g_state.application = &application;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  VELResult started = rtc ? peer->InitP2PForRTC() : peer->InitP2P();
  if (VEL_FAILED(started)) {
    Say("ERR start-up failed " + ResultText(started));
    return 2;
  }
  VELResult registered = peer->RegisterService("VELP2PTestPeerReportingService");
  if (VEL_FAILED(registered)) {
    Say("ERR service registration failed " + ResultText(registered));
    return 2;
  }
  Say("READY name=" + peer->GetPeerName()->Str() +
      " tcp=" + FirstRecordText(peer->GetUnicastEndPoints(), false) +
      " mcast=" + FirstRecordText(peer->GetMulticastEndPoints(), true));

  VELCommand inputOwner(nullptr, "TestPeerInput");
  application.AddFileDescriptor(STDIN_FILENO, &inputOwner, nullptr, &OnInput);
  int ran = application.Run();
  application.RemoveFileDescriptor(STDIN_FILENO, &inputOwner);
  if (VELP2PPeer::IsConnected())
    peer->Disconnect();
  return ran == 0 ? 0 : 1;
}
