// The splitting send path and reassembly through the receive path, with an endpoint that carries its blocks
// back to itself; and the order in which the peer walks records and local endpoints.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "unit/TransportTestSupport.h"
#include "unit/WireTestSupport.h"
#include "velp2p/VELP2PPeerInfo.h"
#include "velp2p/VELTime.h"
#include "wire/VELByteOrder.h"

namespace {

using transporttest::Held;
using transporttest::LoopEndPoint;
using transporttest::SentBlock;
using wiretest::PatternPayload;

class TransportSplit : public transporttest::StartedPeerTest {
 protected:
  // A loop endpoint announcing 10.0.0.7:4000.
  LoopEndPoint* NewLoop(bool unicast, bool feedBack) {
    auto* endpoint = new LoopEndPoint(unicast);
    EXPECT_EQ(endpoint->Initialize("10.0.0.7", 4000), VEL_S_OK);
    endpoint->feedBack = feedBack;
    return endpoint;
  }

  VELResult Send(LoopEndPoint* endpoint, const std::string& payload) {
    VELUnicodeString group("/P2PRoot");
    std::string copy = payload;
    return endpoint->SendToGroup(group, "StatusService", &copy[0], static_cast<int>(copy.size()));
  }
};

// The first fragment carries the group identifier at 80 and the whole payload length at 84; a middle one
// the identifier at 80, the last at 76.
TEST_F(TransportSplit, CutsLongPayloadsIntoGroupsThatReassemble) {
  const struct {
    int length;
    bool unicast;
    std::vector<int> pieces;
    std::vector<int> modes;
  } cases[] = {
      {1000, true, {1000}, {0x0A}},
      {1001, false, {500, 500, 1}, {0x30, 0x50, 0x90}},
      {1200, true, {500, 500, 200}, {0x28, 0x48, 0x88}},
      {1500, true, {500, 500, 500}, {0x28, 0x48, 0x88}},
      {2345, true, {500, 500, 500, 500, 345}, {0x28, 0x48, 0x48, 0x48, 0x88}},
  };
  uint32_t previousId = 0;
  for (const auto& c : cases) {
    Messages().clear();
    Held<LoopEndPoint> endpoint(NewLoop(c.unicast, true));
    const std::string payload = PatternPayload(c.length, c.length);
    const uint32_t before = static_cast<uint32_t>(VELTime::Gettime_t());
    ASSERT_EQ(Send(endpoint.get(), payload), VEL_S_OK) << c.length;

    const std::vector<SentBlock>& sent = endpoint->sent;
    ASSERT_EQ(sent.size(), c.pieces.size()) << c.length;
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(sent[i].payloadLength(), c.pieces[i]) << c.length << " piece " << i;
      EXPECT_EQ(sent[i].mode(), c.modes[i]) << c.length << " piece " << i;
    }
    ASSERT_EQ(Messages().size(), 1u) << c.length;
    EXPECT_EQ(Messages()[0].payload, payload) << c.length;
    EXPECT_EQ(Messages()[0].sender, "local");
    EXPECT_EQ(Messages()[0].group, "/P2PRoot");
    EXPECT_EQ(Messages()[0].multicast, c.unicast ? 0 : 1);
    if (sent.size() == 1)
      continue;
    // The sending second, moved on when the previous split message of the process took it already.
    const uint32_t grpId = VELP2PLoadU32BE(&sent.front().bytes[80]);
    EXPECT_GE(grpId, before);
    EXPECT_GT(grpId, previousId);
    previousId = grpId;
    EXPECT_EQ(VELP2PLoadU32BE(&sent.front().bytes[84]), static_cast<uint32_t>(c.length));
    EXPECT_EQ(VELP2PLoadU32BE(&sent[1].bytes[80]), grpId);
    EXPECT_EQ(VELP2PLoadU32BE(&sent.back().bytes[76]), grpId);
  }
}

// Two groups of one second, interleaved at the receiver: the first loses its middle fragment, which also
// comes before its first one; only the second completes.
TEST_F(TransportSplit, OutOfOrderOrLostFragmentsDropOnlyTheirGroup) {
  Held<LoopEndPoint> endpoint(NewLoop(true, false));
  ASSERT_EQ(Send(endpoint.get(), PatternPayload(1500)), VEL_S_OK);
  ASSERT_EQ(Send(endpoint.get(), PatternPayload(1500, 2)), VEL_S_OK);
  const std::vector<SentBlock> sent = endpoint->sent;
  ASSERT_EQ(sent.size(), 6u);
  TraceCapture trace;
  EXPECT_EQ(endpoint->Receive(sent[1].bytes), VEL_E_FAIL);
  EXPECT_EQ(trace.Count("No Sender Holder for this peer_id <local>, message discarded "), 1);
  for (int i : {0, 3, 4})
    EXPECT_EQ(endpoint->Receive(sent[i].bytes), VEL_S_OK) << i;
  EXPECT_EQ(endpoint->Receive(sent[2].bytes), VEL_E_FAIL);
  EXPECT_EQ(trace.Count("wrong final size in VELP2P_MESSAGE_GROUP_END: is <1096> and should be <1596>"), 1);
  EXPECT_EQ(endpoint->Receive(sent[5].bytes), VEL_S_OK);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].payload, PatternPayload(1500, 2));
}

TEST_F(TransportSplit, StopsAtAFailingSendAndRefusesPayloadNoReceiverWouldReassemble) {
  Held<LoopEndPoint> endpoint(NewLoop(true, false));
  endpoint->failFrom = 1;
  EXPECT_EQ(Send(endpoint.get(), PatternPayload(2000)), VEL_E_FAIL);
  EXPECT_EQ(endpoint->sent.size(), 2u);
  endpoint->sent.clear();
  endpoint->failFrom = -1;
  EXPECT_EQ(Send(endpoint.get(), std::string(4 * 1024 * 1024 + 1, 'z')), VEL_E_FAIL);
  EXPECT_TRUE(endpoint->sent.empty());
}

class TransportPeerSend : public transporttest::StartedPeerTest {
 protected:
  void SetUp() override {
    transporttest::StartedPeerTest::SetUp();
    for (int i = 0; i < 2; ++i) {
      _local[i] =
          static_cast<LoopEndPoint*>(VELP2PPeerTestAccess::RegisterEndPoint(_peer, "TransportLoopEndPoint"));
      ASSERT_TRUE(_local[i]);
      ASSERT_EQ(_local[i]->Initialize("10.0.0.9", 4000 + i), VEL_S_OK);
    }
  }

  VELResult SendToRemote() {
    const unsigned char records[] = {
        0x08, 0x02, 0x0A, 0x76, 0x55, 0x01, 0x00, 0xE0,  // multicast 224.0.1.85:2678
        0x08, 0x01, 0x13, 0x88, 0x0A, 0x00, 0x00, 0x01,  // unicast 10.0.0.1:5000
        0x08, 0x01, 0x13, 0x89, 0x0A, 0x00, 0x00, 0x02,  // unicast 10.0.0.2:5001
    };
    VELP2PPeerInfo info(VELUnicodeString("remote"), 3, VELUnicodeString("/P2PRoot"));
    EXPECT_EQ(info.Initialize(reinterpret_cast<const char*>(records), sizeof(records)), VEL_S_OK);
    VELUnicodeString group("/P2PRoot");
    char payload[] = "hi";
    return _peer->SendToPeer(group, "StatusService", payload, 2, &info);
  }

  // The last address byte of the record each send of endpoint was meant for.
  std::vector<int> Targets(int endpoint) {
    std::vector<int> bytes;
    for (const SentBlock& block : _local[endpoint]->sent)
      bytes.push_back(transporttest::RecordBytes(block.record)[7]);
    return bytes;
  }

  LoopEndPoint* _local[2] = {};  // owned by the peer
};

// The multicast record is skipped; every local endpoint is tried with a record before the next record.
TEST_F(TransportPeerSend, TriesEveryLocalEndPointPerUnicastRecordInOrder) {
  _local[0]->failFrom = 0;
  EXPECT_EQ(SendToRemote(), VEL_S_OK);
  EXPECT_EQ(Targets(0), std::vector<int>{1});
  EXPECT_EQ(Targets(1), std::vector<int>{1});

  _local[0]->sent.clear();
  _local[1]->sent.clear();
  _local[1]->failFrom = 0;
  EXPECT_EQ(SendToRemote(), VEL_E_FAIL);
  EXPECT_EQ(Targets(0), (std::vector<int>{1, 2}));
  EXPECT_EQ(Targets(1), (std::vector<int>{1, 2}));
}

}  // namespace
