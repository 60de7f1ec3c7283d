// A node on socket-free endpoints and a loop of its own for the service tests, with what its peer notified,
// and the payloads other peers send: "alice" in the collaboration mode, "alice_ON_pc1#<pid>" in the standard
// mode.
#ifndef VELP2P_TESTS_UNIT_SERVICETESTSUPPORT_H
#define VELP2P_TESTS_UNIT_SERVICETESTSUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/VELP2PNode.h"
#include "host/VELNetResolve.h"
#include "host/VELSystemOverrides.h"
#include "support/Blocks.h"
#include "support/FakeEndPoints.h"
#include "support/TempFile.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELP2PPayloads.h"

namespace svctest {

// Every notification the local peer dispatches while it lives, one line each: "<class> <peer>", followed for
// a status, a message or a peer found in another group by " <status> <desc>", " <type> <header> <hex data>"
// or " <group>".
class NotificationLog {
 public:
  explicit NotificationLog(VELP2PPeer* peer)
      : _callback(
            AddCallback(nullptr, peer->GetP2PPublisher(), "VELP2PNotif",
                        [this](VELNotification* notification) { _lines.push_back(Line(notification)); })) {}
  ~NotificationLog() { RemoveCallback(_callback); }

  const std::vector<std::string>& Lines() const { return _lines; }
  int Count(const std::string& kind) const {
    return static_cast<int>(std::count_if(_lines.begin(), _lines.end(), [&kind](const std::string& line) {
      return line.compare(0, kind.size() + 1, kind + " ") == 0;
    }));
  }
  void Clear() { _lines.clear(); }

 private:
  static std::string Line(VELNotification* notification) {
    const VELUnicodeString* peer = static_cast<VELP2PNotif*>(notification)->getPeerName();
    std::string line = std::string(notification->IsA()) + " " + (peer ? peer->Str() : "");
    if (auto* status = dynamic_cast<VELP2PChangeStatusNotif*>(notification)) {
      VELUnicodeString desc;
      status->getDescription(desc);
      line += " " + std::to_string(status->getStatus()) + " " + desc.Str();
    } else if (auto* message = dynamic_cast<VELP2PMessageReceivedNotif*>(notification)) {
      line += " " + std::to_string(message->getType()) + " " +
              (message->getHeader() ? message->getHeader()->Str() : "") + " " +
              Hex(std::vector<char>(message->getBuffer(), message->getBuffer() + message->getLength()));
    } else if (auto* cross = dynamic_cast<VELP2PCrossGroupPeerCreatNotif*>(notification)) {
      line += " " + cross->getGroupName()->Str();
    }
    return line;
  }

  VELCallback* _callback;
  std::vector<std::string> _lines;
};

inline std::string RecordHex(const VELP2PEndPointInfo& record) {
  const char* raw = reinterpret_cast<const char*>(&record);
  return Hex(std::vector<char>(raw, raw + sizeof(record)));
}
// What the fake endpoints were asked to send, one line each: "<group> <service> <hex payload>", followed
// for a message to one peer by " to <hex record>".
inline std::vector<std::string> SentLines() {
  std::vector<std::string> lines;
  for (const SentMessage& sent : FakeSent()) {
    lines.push_back(sent.group + " " + sent.service + " " + Hex(sent.payload) +
                    (sent.toGroup ? "" : " to " + RecordHex(sent.remote)));
  }
  return lines;
}

class ServiceTest : public ::testing::Test {
 protected:
  // Every interface name resolves to address.
  explicit ServiceTest(VELIPv4 address) : _address(address) {}

  void SetUp() override {
    FakeSent().clear();
    unsetenv("VELP2PLogin");
    unsetenv("VELP2PConfig");
    VELSystemSetOverrides("alice", "pc1");
    const VELIPv4 address = _address;
    VELSetResolverOverride([address](const std::string&, std::vector<VELIPv4>& out) {
      out.push_back(address);
      return VEL_S_OK;
    });
    _node = std::make_unique<VELP2PNode>(&_loop);
    _target = _node.get();
    _peer = &_node->Peer();
    _log = std::make_unique<NotificationLog>(_peer);
  }
  void TearDown() override {
    _log.reset();
    _node.reset();
    VELSetResolverOverride(nullptr);
    VELSystemSetOverrides(nullptr, nullptr);
    FakeSent().clear();
    unsetenv("VELP2PConfig");
  }

  // The endpoints of the start-up to come are those of this configuration text instead of the defaults.
  void UseConfig(const std::string& text) {
    _config = std::make_unique<TempFile>(text);
    setenv("VELP2PConfig", _config->Path().c_str(), 1);
  }
  void Forget() {
    FakeSent().clear();
    _log->Clear();
  }

  // A message to the node under test: a block received by one of its endpoints.
  VELResult Deliver(const char* group, const char* service, const char* sender,
                    const std::vector<char>& payload, bool multicast, const VELP2PEndPointInfo& senderUnicast,
                    const char* source = nullptr) {
    return ::Deliver(*_target, group, service, sender, payload, multicast, senderUnicast, source);
  }

  VELIPv4 _address;
  ScopedFakeEndPoints _endpoints;
  VELApplication _loop;
  std::unique_ptr<VELP2PNode> _node;
  VELP2PNode* _target = nullptr;  // where Deliver goes: _node unless a test says otherwise
  VELP2PPeer* _peer = nullptr;
  std::unique_ptr<NotificationLog> _log;
  std::unique_ptr<TempFile> _config;  // written by UseConfig
};

// "alice" in the collaboration mode on 127.0.0.1: a fake multicast endpoint (224.0.1.85:2678) and a fake
// TCP endpoint (127.0.0.1, port 0). Other peers are simulated with Deliver.
class CollaborationTest : public ServiceTest {
 protected:
  CollaborationTest() : ServiceTest({127, 0, 0, 1}) {}

  // Starts the peer; its birth announcement is the only thing sent, and is kept aside.
  void Start() {
    ASSERT_EQ(_peer->InitP2PForRTC(), VEL_S_OK);
    ASSERT_EQ(FakeSent().size(), 1u);
    _birth = FakeSent()[0].payload;
    Forget();
  }
  // A message from another peer reachable at 127.0.0.2:4000.
  VELResult FromPeer(const char* sender, const char* service, const std::vector<char>& payload,
                     bool multicast = false, const char* group = "/") {
    return Deliver(group, service, sender, payload, multicast, UnicastRecord("127.0.0.2", 4000));
  }
  // A message from the local peer to itself.
  VELResult FromSelf(const char* service, const std::vector<char>& payload, bool multicast,
                     const char* group) {
    return Deliver(group, service, "alice", payload, multicast, UnicastRecord("127.0.0.1", 0));
  }
  // The local birth heard back by multicast: the local peer enters its own directory.
  void HearOwnBirth() { ASSERT_EQ(FromSelf("AwarenessService", _birth, true, "/"), VEL_S_OK); }
  // Makes name a connected peer at 127.0.0.2:4000, as its answer to our birth would.
  void Connect(const char* name) {
    ASSERT_EQ(FromPeer(name, "AwarenessService", Announcement('1', 4242, {UnicastRecord("127.0.0.2", 4000)})),
              VEL_S_OK);
  }
  // "<status> <description>" from the status store, or "none".
  std::string StatusOf(const char* name) {
    VELP2PUserStatus status = -1;
    VELUnicodeString desc;
    if (VEL_FAILED(_peer->GetStatusAndDesc(name, status, desc)))
      return "none";
    return std::to_string(status) + " " + desc.Str();
  }

  std::vector<char> _birth;  // the local birth announcement as it was multicast
};

// The standard mode on 10.0.0.5.
class StandardModeTest : public ServiceTest {
 protected:
  StandardModeTest() : ServiceTest({10, 0, 0, 5}) {}

  // Starts the peer, optionally on the endpoints of a configuration text, and forgets the start-up.
  void Start(const std::string& config = "") {
    if (!config.empty())
      UseConfig(config);
    ASSERT_EQ(_peer->InitP2P(), VEL_S_OK);
    Forget();
  }
  // The local peer's name.
  std::string Me() const { return _peer->GetPeerName()->Str(); }
  // The local peer's 23-byte peer message: command, N = 2, its multicast record (224.0.1.85:2678, address
  // bytes reversed), its unicast record (port 0), four trailing zeros.
  static std::string LocalMessageHex(char command) {
    return Hex({command}) +
           "0002"
           "08020a76550100e0"
           "080100000a000005"
           "00000000";
  }
  // Enters a sub-group and forgets what that sent and notified.
  void Join(const char* name) {
    VELUnicodeString text(name);
    ASSERT_EQ(_peer->CreateAndOrJoinSubGroup(&text), VEL_S_OK);
    Forget();
  }
  // The names in a directory, sorted.
  static std::vector<std::string> Names(VELHashDicVELP2PPeerInfo* directory) {
    std::vector<std::string> names;
    int bucket = 1, position = 0;
    while (VELP2PPeerInfo* info = directory->Next(bucket, position))
      names.push_back(info->name.Str());
    std::sort(names.begin(), names.end());
    return names;
  }
};

}  // namespace svctest

#endif
