// The endpoints: records, the receive path through a node's seam into its started peer, the splitting send
// path, the order in which the peer tries records and endpoints, and the socket endpoints inside the
// namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/VELP2PNode.h"
#include "core/VELP2POptions.h"
#include "host/VELSystemCalls.h"
#include "host/VELSystemOverrides.h"
#include "host/VELTime.h"
#include "host/VELUDPSocket.h"
#include "support/Blocks.h"
#include "support/FakeEndPoints.h"
#include "support/GoldenVectors.h"
#include "support/NetSandbox.h"
#include "transport/VELP2PEndPointRecord.h"
#include "transport/VELSocketConnector.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PCoreService.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"
#include "wire/VELByteOrder.h"
#include "wire/VELP2PMessage.h"

namespace {

std::vector<uint8_t> RecordBytes(const VELP2PEndPointInfo& record) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
  return std::vector<uint8_t>(bytes, bytes + sizeof(record));
}

struct Received {
  std::string sender, group, payload;
  bool unicast;
  VELP2PEndPointInfo reply;  // the sender's unicast endpoint
};
std::vector<Received> g_received;
bool g_disconnectOnMessage = false;

// Accepts every group of the wire name "StatusService" and records what it is handed.
class RecordingService : public VELP2PCoreService {
 public:
  VELResult Initialize() override { return VEL_S_OK; }
  const char* GetServiceName() override { return "StatusService"; }
  VELResult internalFilterMessageFromGroup(VELUnicodeString&) override { return VEL_S_OK; }
  VELResult HandleMessage(VELIP2PMessage* message) override {
    Received received{};
    VELUnicodeString text;
    if (VEL_SUCCEEDED(message->GetSendingPeerName(text)))
      received.sender = text.Str();
    if (VEL_SUCCEEDED(message->GetMessageGroup(text)))
      received.group = text.Str();
    int length = 0;
    if (VEL_SUCCEEDED(message->GetBufferLenght(length)) && length > 0) {
      received.payload.resize(static_cast<size_t>(length));
      EXPECT_EQ(message->GetBuffer(&received.payload[0]), VEL_S_OK);
    }
    received.unicast = message->IsUnicast() != 0;
    (void)static_cast<VELP2PMessage*>(message)->GetSendingPeerEPInfo(received.reply, VELP2P_MESSAGE_UNICAST);
    g_received.push_back(received);
    if (g_disconnectOnMessage) {
      EXPECT_EQ(GetPeer()->Disconnect(), VEL_S_OK);
    }
    return VEL_S_OK;
  }
};

// Takes the place of the services the recording one does not.
class SilentService : public VELP2PCoreService {
 public:
  const char* GetServiceName() override { return "Silent"; }
};

VELBaseUnknown* MakeRecording() {
  return new (std::nothrow) RecordingService();
}
VELBaseUnknown* MakeSilent() {
  return new (std::nothrow) SilentService();
}

// A node whose peer, named "local" in the collaboration mode, has the recording service in the place of the
// status service (and of the group service in the standard mode), and silent ones for the rest.
class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    g_received.clear();
    g_disconnectOnMessage = false;
    VELSystemSetOverrides("local", "pc1");
    _node = std::make_unique<VELP2PNode>(&_loop);
    _peer = &_node->Peer();
  }
  void TearDown() override {
    _node.reset();
    VELSystemSetOverrides(nullptr, nullptr);
  }

  // Starts the peer (again) on the endpoints of a configuration text, which do not announce themselves;
  // the fake ones send blocks.
  void Start(const std::string& endpoints, bool collaboration = false) {
    if (_peer->Connected()) {
      ASSERT_EQ(_peer->Disconnect(), VEL_S_OK);
    }
    VELP2POptions options;
    options.mode = collaboration ? VELP2POptions::Mode::kCollaboration : VELP2POptions::Mode::kStandard;
    ASSERT_EQ(options.Set("endpoints", endpoints), VEL_S_OK);
    ASSERT_EQ(options.Set("announce", "0"), VEL_S_OK);
    ASSERT_EQ(_peer->Start(options), VEL_S_OK);
    for (VELListPtrVELP2PEndPoint* list : {_peer->GetMulticastEndPoints(), _peer->GetUnicastEndPoints()}) {
      for (int i = 1; list && i <= list->Size(); ++i) {
        if (auto* fake = dynamic_cast<FakeEndPoint*>((*list)[i]))
          fake->wire = true;
      }
    }
  }
  // The peer's i-th endpoint of a kind (from 1).
  FakeEndPoint* Fake(bool unicast, int i) {
    VELListPtrVELP2PEndPoint* list = unicast ? _peer->GetUnicastEndPoints() : _peer->GetMulticastEndPoints();
    return list && i <= list->Size() ? dynamic_cast<FakeEndPoint*>((*list)[i]) : nullptr;
  }
  // An endpoint of the peer's node that the peer did not register.
  FakeEndPoint* Unregistered(bool unicast) {
    auto* endpoint = new FakeEndPoint(unicast);
    endpoint->SetReceiver(&_node->Receiver());
    return endpoint;
  }

  VELResult Send(FakeEndPoint* endpoint, const std::string& payload) {
    VELUnicodeString group("/P2PRoot");
    std::string copy = payload;
    return endpoint->SendToGroup(group, "StatusService", &copy[0], static_cast<int>(copy.size()));
  }

  ScopedClass _status{"VELP2PStatusService", &MakeRecording};
  ScopedClass _group{"VELP2PGroupService", &MakeRecording};
  ScopedClass _awareness{"VELP2PAwarenessService", &MakeSilent};
  ScopedClass _chat{"VELP2PChatService", &MakeSilent};
  ScopedClass _session{"VELP2PSessionService", &MakeSilent};
  ScopedClass _peerService{"VELP2PPeerService", &MakeSilent};
  ScopedClass _discovery{"VELP2PDiscoveryService", &MakeSilent};
  std::unique_ptr<ScopedFakeEndPoints> _fakes = std::make_unique<ScopedFakeEndPoints>();
  VELApplication _loop;
  std::unique_ptr<VELP2PNode> _node;
  VELP2PPeer* _peer = nullptr;
};

struct Releaser {
  void operator()(VELBaseUnknown* object) const { object->Release(); }
};
using Held = std::unique_ptr<FakeEndPoint, Releaser>;

int CountOpenDescriptors() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

std::vector<char> Golden() {
  std::vector<uint8_t> bytes = LoadGolden("header_multicast");
  return std::vector<char>(bytes.begin(), bytes.end());
}

}  // namespace

TEST(TransportRecord, LaysOutRecordsAndRefusesWhatIsNotADottedAddressOrAPort) {
  VELP2PEndPointInfo record;
  ASSERT_EQ(VELP2PMakeReversedRecord("224.0.1.85", 2678, VELP2P_ENDPOINT_MULTICAST, record), VEL_S_OK);
  EXPECT_EQ(RecordBytes(record), (std::vector<uint8_t>{0x08, 0x02, 0x0A, 0x76, 0x55, 0x01, 0x00, 0xE0}));
  ASSERT_EQ(VELP2PMakeUnicastRecord("192.168.0.7", 5000, record), VEL_S_OK);
  EXPECT_EQ(RecordBytes(record), (std::vector<uint8_t>{0x08, 0x01, 0x13, 0x88, 0xC0, 0xA8, 0x00, 0x07}));
  EXPECT_EQ(VELP2PRecordPort(record), 5000);

  const char* const unreadable[] = {"",         "1.2.3",      "1.2.3.4.5", "256.1.1.1",
                                    "01.2.3.4", "a.b.c.d",    "1.2.3.4 ",  " 1.2.3.4",
                                    "1..2.3",   "1.2.3.1000", "1.2.3.-4",  "255.255.255.255"};
  record = {};
  for (const char* text : unreadable)
    EXPECT_EQ(VELP2PMakeUnicastRecord(text, 1, record), VEL_E_FAIL) << "<" << text << ">";
  EXPECT_EQ(VELP2PMakeUnicastRecord("10.0.0.1", -1, record), VEL_E_FAIL);
  EXPECT_EQ(VELP2PMakeReversedRecord("224.0.1.85", 65536, 2, record), VEL_E_FAIL);
  EXPECT_EQ(RecordBytes(record), std::vector<uint8_t>(8, 0));

  // The exported base announces its kind with the address reversed, whatever its kind.
  for (bool unicast : {true, false}) {
    Held endpoint(new FakeEndPoint(unicast));
    ASSERT_EQ(endpoint->VELP2PBaseEndPoint::Initialize("10.0.0.7", 4000), VEL_S_OK);
    EXPECT_EQ(RecordBytes(*endpoint->GetEndPointInfo()),
              (std::vector<uint8_t>{0x08, uint8_t(unicast ? 1 : 2), 0x0F, 0xA0, 0x07, 0x00, 0x00, 0x0A}));
  }
  // Their registered base is VELBaseUnknown, so the registry never takes them for VELP2PEndPoint kinds.
  for (const char* name : {"VELP2PMultiCastEndPoint", "VELP2PTCPEndPoint"}) {
    void* object = nullptr;
    ASSERT_EQ(VELCreateClassInstance(name, nullptr, 0, IID_VELIUnknown, &object), VEL_S_OK) << name;
    auto* endpoint = static_cast<VELBaseUnknown*>(static_cast<VELIUnknown*>(object));
    EXPECT_FALSE(endpoint->IsAKindOf("VELP2PEndPoint"));
    endpoint->Release();
  }
}

constexpr char kOneMulticast[] = "VELP2PMultiCastEndPoint|224.0.1.85|2678\n";

TEST_F(Transport, ReceivesTheGoldenBlockThroughTheSeam) {
  Start(kOneMulticast);
  Held endpoint(Unregistered(false));
  EXPECT_EQ(endpoint->ReceiveBytes(Golden()), VEL_S_OK);
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0].sender, "alice");
  EXPECT_EQ(g_received[0].group, "/");
  EXPECT_EQ(g_received[0].payload, "0123456789");
  EXPECT_FALSE(g_received[0].unicast);
  // A multicast message is answered at the TCP endpoint it advertises.
  EXPECT_EQ(RecordBytes(g_received[0].reply)[4], 10);
  EXPECT_EQ(VELP2PRecordPort(g_received[0].reply), 40000);

  // A version-0 block is ignored; a whole block that also bears a group bit is whole.
  std::vector<char> block = Golden();
  block[6] = 0;
  EXPECT_EQ(endpoint->ReceiveBytes(block), VEL_S_OK);
  block[6] = 1;
  block[7] = 0x12 | 0x20;
  EXPECT_EQ(endpoint->ReceiveBytes(block), VEL_S_OK);
  EXPECT_EQ(g_received.size(), 2u);
  EXPECT_EQ(endpoint->GetDrops().Total(), 0u);

  // Malformed blocks are counted by reason and reach nobody (the corpus of ReceiveFuzz holds many more).
  EXPECT_EQ(endpoint->ReceiveBytes(Golden(), 87), VEL_E_FAIL);
  block[7] = 0x10;
  EXPECT_EQ(endpoint->ReceiveBytes(block), VEL_E_FAIL);
  EXPECT_EQ(endpoint->GetDrops().Get(VELP2PDrop::Malformed), 1u);
  EXPECT_EQ(endpoint->GetDrops().Get(VELP2PDrop::BadMode), 1u);
  EXPECT_EQ(g_received.size(), 2u);

  // Nothing is handed over while the peer is not started, nor by an endpoint that nobody registered.
  ASSERT_EQ(_peer->Disconnect(), VEL_S_OK);
  EXPECT_EQ(endpoint->ReceiveBytes(Golden()), VEL_E_FAIL);
  endpoint->SetReceiver(nullptr);
  EXPECT_EQ(endpoint->ReceiveBytes(Golden()), VEL_E_FAIL);
  EXPECT_EQ(endpoint->GetDrops().Get(VELP2PDrop::NoReceiver), 1u);
  EXPECT_EQ(g_received.size(), 2u);
}

// Collaboration mode drops a peer's own point-to-point messages unless they go to "/Force"; multicast
// endpoints never apply the rule, and standard mode delivers them all.
TEST_F(Transport, DropsOwnPointToPointEchoInCollaborationModeUnlessForced) {
  const struct {
    bool collaboration;
    bool unicast;
    const char* group;
    bool delivered;
  } cases[] = {{false, true, "/", true},
               {true, true, "/", false},
               {true, true, "/Force/Sub", false},
               {true, true, "/Force", true},
               {true, false, "/", true}};
  for (const auto& c : cases) {
    Start(kOneMulticast, c.collaboration);
    g_received.clear();
    BlockFields fields;
    fields.sender = _peer->GetPeerName()->Str();
    fields.group = c.group;
    fields.mode = c.unicast ? 0 : 1;
    Held endpoint(Unregistered(c.unicast));
    EXPECT_EQ(endpoint->ReceiveBytes(BuildBlock(fields, "echo")), VEL_S_OK);
    EXPECT_EQ(g_received.size(), c.delivered ? 1u : 0u) << c.collaboration << c.unicast << c.group;
  }
}

// The peer's name and its first endpoint of the other kind travel in every block its endpoints build.
TEST_F(Transport, BuildsBlocksWithThePeerIdentity) {
  VELSystemSetOverrides("alice", "pc1");
  const std::string multicasts =
      "VELP2PMultiCastEndPoint|224.0.1.85|2678\nVELP2PMultiCastEndPoint|224.0.1.86|2679\n";
  Start(multicasts, true);
  ASSERT_EQ(Send(Fake(false, 1), "0123456789"), VEL_S_OK);  // no unicast endpoint: zeros
  EXPECT_EQ(std::vector<char>(Fake(false, 1)->blocks[0].bytes.begin() + 80,
                              Fake(false, 1)->blocks[0].bytes.begin() + 88),
            (std::vector<char>{0, 0, 0, 0, 0x0A, 0x76, 0, 0}));
  Start(multicasts + "VELP2PTCPEndPoint|10.0.0.7|40000\nVELP2PTCPEndPoint|10.0.0.8|40001\n", true);
  VELUnicodeString group("/");
  char payload[] = "0123456789";
  ASSERT_EQ(Fake(false, 1)->SendToGroup(group, "StatusService", payload, 10), VEL_S_OK);
  EXPECT_EQ(Fake(false, 1)->blocks[0].bytes, Golden());
}

// Where the marks lie in each fragment is the fragmenter's test; here, the modes, the round trip and the
// group identifier.
TEST_F(Transport, CutsLongPayloadsIntoGroupsThatReassemble) {
  Start("VELP2PMultiCastEndPoint|10.0.0.7|4000\nVELP2PTCPEndPoint|10.0.0.7|4000\n");
  const struct {
    int length;
    bool unicast;
    std::vector<int> modes;
  } cases[] = {
      {1000, true, {0x0A}},
      {1001, false, {0x30, 0x50, 0x90}},
      {2345, true, {0x28, 0x48, 0x48, 0x48, 0x88}},
  };
  uint32_t previousId = 0;
  for (const auto& c : cases) {
    g_received.clear();
    FakeEndPoint* endpoint = Fake(c.unicast, 1);
    endpoint->blocks.clear();
    endpoint->feedBack = true;
    const std::string payload = PatternPayload(c.length, c.length);
    const uint32_t before = static_cast<uint32_t>(VELTime::Gettime_t());
    ASSERT_EQ(Send(endpoint, payload), VEL_S_OK) << c.length;
    const std::vector<SentBlock>& sent = endpoint->blocks;
    ASSERT_EQ(sent.size(), c.modes.size()) << c.length;
    for (size_t i = 0; i < sent.size(); ++i)
      EXPECT_EQ(static_cast<unsigned char>(sent[i].bytes[7]), c.modes[i]) << c.length << " piece " << i;
    ASSERT_EQ(g_received.size(), 1u) << c.length;
    EXPECT_EQ(g_received[0].payload, payload) << c.length;
    EXPECT_EQ(g_received[0].sender, _peer->GetPeerName()->Str());
    if (sent.size() == 1)
      continue;
    // The sending second, moved on when the node's previous split message took it already.
    const uint32_t grpId = VELP2PLoadU32BE(&sent.front().bytes[80]);
    EXPECT_GE(grpId, before);
    EXPECT_GT(grpId, previousId);
    previousId = grpId;
  }
}

// Two groups of one second, interleaved at the receiver: the first loses its middle fragment, which also
// comes before its first one; only the second completes, and both drops are counted.
TEST_F(Transport, OutOfOrderOrLostFragmentsDropOnlyTheirGroup) {
  Start("VELP2PTCPEndPoint|10.0.0.7|4000\n");
  FakeEndPoint* endpoint = Fake(true, 1);
  ASSERT_EQ(Send(endpoint, PatternPayload(1500)), VEL_S_OK);
  ASSERT_EQ(Send(endpoint, PatternPayload(1500, 2)), VEL_S_OK);
  const std::vector<SentBlock> sent = endpoint->blocks;
  ASSERT_EQ(sent.size(), 6u);
  for (int i : {1, 0, 3, 4, 2, 5})
    (void)endpoint->ReceiveBytes(sent[i].bytes);
  EXPECT_EQ(endpoint->GetDrops().Get(VELP2PDrop::NoGroup), 1u);
  EXPECT_EQ(endpoint->GetDrops().Get(VELP2PDrop::Incomplete), 1u);
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0].payload, PatternPayload(1500, 2));

  // A failing send stops the group; a payload no receiver would reassemble is not sent at all.
  endpoint->blocks.clear();
  endpoint->failFrom = 1;
  EXPECT_EQ(Send(endpoint, PatternPayload(2000)), VEL_E_FAIL);
  EXPECT_EQ(endpoint->blocks.size(), 2u);
  endpoint->blocks.clear();
  endpoint->failFrom = -1;
  EXPECT_EQ(Send(endpoint, std::string(4 * 1024 * 1024 + 1, 'z')), VEL_E_FAIL);
  EXPECT_TRUE(endpoint->blocks.empty());
}

// The multicast record is skipped; every local endpoint is tried with a record before the next record.
TEST_F(Transport, TriesEveryLocalEndPointPerUnicastRecordInOrder) {
  Start("VELP2PTCPEndPoint|10.0.0.9|4000\nVELP2PTCPEndPoint|10.0.0.9|4001\n");
  FakeEndPoint* local[2] = {Fake(true, 1), Fake(true, 2)};
  const unsigned char records[] = {
      0x08, 0x02, 0x0A, 0x76, 0x55, 0x01, 0x00, 0xE0,  // multicast 224.0.1.85:2678
      0x08, 0x01, 0x13, 0x88, 0x0A, 0x00, 0x00, 0x01,  // unicast 10.0.0.1:5000
      0x08, 0x01, 0x13, 0x89, 0x0A, 0x00, 0x00, 0x02,  // unicast 10.0.0.2:5001
  };
  VELP2PPeerInfo info(VELUnicodeString("remote"), 3, VELUnicodeString("/P2PRoot"));
  ASSERT_EQ(info.Initialize(reinterpret_cast<const char*>(records), sizeof(records)), VEL_S_OK);
  auto send = [&]() {
    VELUnicodeString group("/P2PRoot");
    char payload[] = "hi";
    return _peer->SendToPeer(group, "StatusService", payload, 2, &info);
  };
  auto targets = [&](int i) {
    std::vector<int> bytes;
    for (const SentBlock& block : local[i]->blocks)
      bytes.push_back(RecordBytes(block.record)[7]);
    return bytes;
  };
  local[0]->failFrom = 0;
  EXPECT_EQ(send(), VEL_S_OK);
  EXPECT_EQ(targets(0), std::vector<int>{1});
  EXPECT_EQ(targets(1), std::vector<int>{1});
  local[0]->blocks.clear();
  local[1]->blocks.clear();
  local[1]->failFrom = 0;
  EXPECT_EQ(send(), VEL_E_FAIL);
  EXPECT_EQ(targets(0), (std::vector<int>{1, 2}));
  EXPECT_EQ(targets(1), (std::vector<int>{1, 2}));
}

// The socket endpoints, served by the loop inside the private network namespace.
class TransportSockets : public Transport {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    _fakes.reset();
    Transport::SetUp();
  }
  bool WaitForMessages(size_t count) {
    return _loop.RunUntil([count]() { return g_received.size() >= count; }, 30000);
  }
  VELP2PEndPoint* Endpoint(bool unicast, int i) {
    VELListPtrVELP2PEndPoint* list = unicast ? _peer->GetUnicastEndPoints() : _peer->GetMulticastEndPoints();
    return list && i <= list->Size() ? (*list)[i] : nullptr;
  }

  VELUnicodeString _group{"/"};
};

TEST_F(TransportSockets, MulticastRecordDatagramBoundsAndDrops) {
  const unsigned short port = VELTestPort(62);
  Start("VELP2PMultiCastEndPoint|224.0.1.85|0\nVELP2PMultiCastEndPoint|224.0.1.85|" + std::to_string(port) +
        "\n");
  const std::vector<uint8_t> expected = {0x08, 0x02, 0x0A, 0x76, 0x55, 0x01, 0x00, 0xE0};
  VELP2PEndPoint* byDefault = Endpoint(false, 1);
  ASSERT_TRUE(byDefault);
  EXPECT_EQ(RecordBytes(*byDefault->GetEndPointInfo()), expected);
  EXPECT_EQ(byDefault->Initialize("224.0.1.86", 3000), VEL_E_FAIL);  // open already: the record stays
  EXPECT_EQ(RecordBytes(*byDefault->GetEndPointInfo()), expected);

  VELP2PEndPoint* endpoint = Endpoint(false, 2);
  ASSERT_TRUE(endpoint);
  // 88 + 1 + 935 = 1024 bytes: the largest block a receiver reads whole.
  std::string fits = PatternPayload(936);
  EXPECT_EQ(endpoint->SendToGroup(_group, "StatusService", &fits[0], 936), VEL_E_FAIL);
  ASSERT_EQ(endpoint->SendToGroup(_group, "StatusService", &fits[0], 935), VEL_S_OK);
  ASSERT_TRUE(WaitForMessages(1));
  EXPECT_EQ(g_received[0].payload, fits.substr(0, 935));

  VELUDPSocket raw;
  ASSERT_EQ(raw.Initialize(nullptr, port, "224.0.1.85"), 0);
  std::vector<char> cut = BuildBlock(BlockFields(), "cut");
  VELP2PStoreU32BE(&cut[0], 200);  // brings 92 of 200 bytes
  std::vector<char> overlong = BuildBlock(BlockFields(), PatternPayload(1100 - 89));  // more than the buffer
  std::vector<char> good = BuildBlock(BlockFields(), "whole");
  for (const std::vector<char>* block : {&cut, &overlong, &good})
    ASSERT_EQ(raw.Send(block->data(), static_cast<int>(block->size())), 0);
  // Datagrams arrive in order on the one socket: once the good one is handled, the others were dropped.
  ASSERT_TRUE(WaitForMessages(2));
  EXPECT_EQ(g_received[1].payload, "whole");
  EXPECT_EQ(endpoint->GetDrops().Get(VELP2PDrop::Malformed), 1u);
  EXPECT_EQ(endpoint->GetDrops().Get(VELP2PDrop::ReadFailed), 1u);
}

// The send returns at once; the refusal arrives later, once, as a notification.
TEST_F(TransportSockets, SendToAClosedPortReturnsAtOnceThenNotifiesOnceAndLeavesNoDescriptor) {
  Start("VELP2PTCPEndPoint|127.0.0.1|0\n");
  VELP2PEndPoint* tcp = Endpoint(true, 1);
  ASSERT_TRUE(tcp);
  unsigned short port = 0;
  {
    VELSocketConnector closed(0, 5, 2);
    ASSERT_EQ(closed.Declare(nullptr, nullptr), 0);
    port = closed.GetPort();
  }
  std::vector<std::string> failures;
  VELCallback* callback = AddCallback(nullptr, _peer->GetP2PPublisher(), "VELP2PSendFailedNotif",
                                      [&failures](VELNotification* n) {
                                        auto* failed = static_cast<VELP2PSendFailedNotif*>(n);
                                        failures.push_back(std::string(failed->getAddress()) + " " +
                                                           failed->getService() + " " + failed->getReason());
                                      });
  const int before = CountOpenDescriptors();
  VELP2PEndPointInfo record = UnicastRecord("127.0.0.1", port);
  char payload[] = "01";
  const uint64_t calls = VELSystemCalls::Count();
  EXPECT_EQ(tcp->SendToPeer(_group, "StatusService", payload, 2, &record, nullptr), VEL_S_OK);
  EXPECT_EQ(VELSystemCalls::Count(), calls);  // only queued: the loop opens the connection
  ASSERT_TRUE(_loop.RunUntil([&failures] { return !failures.empty(); }, 30000));
  EXPECT_FALSE(_loop.RunUntil([&failures] { return failures.size() > 1; }, 100));
  EXPECT_EQ(failures,
            std::vector<std::string>{"127.0.0.1:" + std::to_string(port) + " StatusService refused"});
  EXPECT_EQ(CountOpenDescriptors(), before);
  RemoveCallback(callback);
}

// The handler's tear-down releases the endpoint it is called from while that endpoint is still receiving.
TEST_F(TransportSockets, AHandlerMayDisconnectThePeerOnEitherTransport) {
  for (bool byTcp : {true, false}) {
    Start("VELP2PTCPEndPoint|127.0.0.1|0\nVELP2PMultiCastEndPoint|224.0.1.85|" +
          std::to_string(VELTestPort(63)) + "\n");
    VELP2PEndPoint* tcp = Endpoint(true, 1);
    VELP2PEndPoint* multicast = Endpoint(false, 1);
    ASSERT_TRUE(tcp && multicast);
    g_disconnectOnMessage = true;
    char payload[] = "bye";
    ASSERT_EQ(byTcp ? tcp->SendToPeer(_group, "StatusService", payload, 3, tcp->GetEndPointInfo(), nullptr)
                    : multicast->SendToGroup(_group, "StatusService", payload, 3),
              VEL_S_OK);
    ASSERT_TRUE(_loop.RunUntil([this] { return !_peer->Connected(); }, 30000)) << byTcp;
    EXPECT_EQ(g_received.size(), 1u);
    // The turns after it serve nothing of what the tear-down released.
    EXPECT_FALSE(_loop.RunUntil([] { return false; }, 50));
    g_received.clear();
    g_disconnectOnMessage = false;
  }
}
