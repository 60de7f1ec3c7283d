// The splitting send path and reassembly through the receive path, with an endpoint that carries its blocks
// back to itself; and the order in which the peer walks records and local endpoints.
#include <cstdint>
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

class TransportSplit : public transporttest::StartedPeerTest {
 protected:
  // A unicast (or multicast) loop endpoint announcing 10.0.0.7:4000.
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

TEST_F(TransportSplit, SendsThousandBytesWhole) {
  Held<LoopEndPoint> endpoint(NewLoop(true, true));
  const std::string payload = wiretest::PatternPayload(1000);
  ASSERT_EQ(Send(endpoint.get(), payload), VEL_S_OK);
  ASSERT_EQ(endpoint->sent.size(), 1u);
  EXPECT_EQ(endpoint->sent[0].mode(), 0x0A);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].payload, payload);
}

struct SplitCase {
  int length;
  std::vector<int> pieces;
};

TEST_F(TransportSplit, CutsLongPayloadsIntoGroupsThatReassemble) {
  const std::vector<SplitCase> cases = {
      {1001, {500, 500, 1}},
      {1200, {500, 500, 200}},
      {1500, {500, 500, 500}},
      {2345, {500, 500, 500, 500, 345}},
  };
  uint32_t previousId = 0;
  for (const SplitCase& c : cases) {
    Messages().clear();
    Held<LoopEndPoint> endpoint(NewLoop(true, true));
    const std::string payload = wiretest::PatternPayload(c.length, c.length);
    const uint32_t before = static_cast<uint32_t>(VELTime::Gettime_t());
    ASSERT_EQ(Send(endpoint.get(), payload), VEL_S_OK) << c.length;

    const std::vector<SentBlock>& sent = endpoint->sent;
    ASSERT_EQ(sent.size(), c.pieces.size()) << c.length;
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(sent[i].payloadLength(), c.pieces[i]) << c.length << " piece " << i;
      const int expected = i == 0 ? 0x28 : (i + 1 == sent.size() ? 0x88 : 0x48);
      EXPECT_EQ(sent[i].mode(), expected) << c.length << " piece " << i;
    }
    // The first fragment carries the group identifier at 80 and the whole payload length at 84; the last
    // one carries the identifier at 76.
    const uint32_t grpId = VELP2PLoadU32BE(&sent.front().bytes[80]);
    // The sending second, moved on when the previous split message of the process took it already.
    EXPECT_GE(grpId, before);
    EXPECT_GT(grpId, previousId);
    previousId = grpId;
    EXPECT_EQ(VELP2PLoadU32BE(&sent.front().bytes[84]), static_cast<uint32_t>(c.length));
    EXPECT_EQ(VELP2PLoadU32BE(&sent[1].bytes[80]), grpId);
    EXPECT_EQ(VELP2PLoadU32BE(&sent.back().bytes[76]), grpId);

    ASSERT_EQ(Messages().size(), 1u) << c.length;
    EXPECT_EQ(Messages()[0].payload, payload) << c.length;
    EXPECT_EQ(Messages()[0].sender, "local");
    EXPECT_EQ(Messages()[0].group, "/P2PRoot");
  }
}

TEST_F(TransportSplit, MulticastGroupsCarryMulticastModes) {
  Held<LoopEndPoint> endpoint(NewLoop(false, true));
  ASSERT_EQ(Send(endpoint.get(), wiretest::PatternPayload(1001)), VEL_S_OK);
  ASSERT_EQ(endpoint->sent.size(), 3u);
  EXPECT_EQ(endpoint->sent[0].mode(), 0x30);
  EXPECT_EQ(endpoint->sent[1].mode(), 0x50);
  EXPECT_EQ(endpoint->sent[2].mode(), 0x90);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].multicast, 1);
}

TEST_F(TransportSplit, SplitMessagesOfOneSecondGetDistinctGroupIds) {
  Held<LoopEndPoint> endpoint(NewLoop(true, false));
  ASSERT_EQ(Send(endpoint.get(), wiretest::PatternPayload(1200)), VEL_S_OK);
  ASSERT_EQ(Send(endpoint.get(), wiretest::PatternPayload(1200, 1)), VEL_S_OK);
  ASSERT_EQ(endpoint->sent.size(), 6u);
  EXPECT_NE(VELP2PLoadU32BE(&endpoint->sent[0].bytes[80]), VELP2PLoadU32BE(&endpoint->sent[3].bytes[80]));

  // So two groups interleaved at a receiver both complete.
  const std::vector<SentBlock> sent = endpoint->sent;
  for (int i : {0, 3, 1, 4, 2, 5})
    EXPECT_EQ(endpoint->Receive(sent[i].bytes), VEL_S_OK) << i;
  ASSERT_EQ(Messages().size(), 2u);
  EXPECT_EQ(Messages()[0].payload, wiretest::PatternPayload(1200));
  EXPECT_EQ(Messages()[1].payload, wiretest::PatternPayload(1200, 1));
}

TEST_F(TransportSplit, FragmentsOutOfOrderAreDiscarded) {
  Held<LoopEndPoint> endpoint(NewLoop(true, false));
  ASSERT_EQ(Send(endpoint.get(), wiretest::PatternPayload(1200)), VEL_S_OK);
  const std::vector<SentBlock> sent = endpoint->sent;
  wiretest::TraceCapture trace;
  EXPECT_EQ(endpoint->Receive(sent[1].bytes), VEL_E_FAIL);
  EXPECT_TRUE(trace.Has("No Sender Holder for this peer_id <local>, message discarded "));
  EXPECT_EQ(endpoint->Receive(sent[0].bytes), VEL_S_OK);
  EXPECT_EQ(endpoint->Receive(sent[2].bytes), VEL_E_FAIL);
  EXPECT_TRUE(trace.Has("wrong final size in VELP2P_MESSAGE_GROUP_END: is <796> and should be <1296>"));
  EXPECT_TRUE(Messages().empty());
}

TEST_F(TransportSplit, LostMiddleFragmentDropsOnlyItsGroup) {
  Held<LoopEndPoint> endpoint(NewLoop(true, false));
  ASSERT_EQ(Send(endpoint.get(), wiretest::PatternPayload(1500)), VEL_S_OK);
  ASSERT_EQ(Send(endpoint.get(), wiretest::PatternPayload(1500, 2)), VEL_S_OK);
  const std::vector<SentBlock> sent = endpoint->sent;
  EXPECT_EQ(endpoint->Receive(sent[0].bytes), VEL_S_OK);
  EXPECT_EQ(endpoint->Receive(sent[2].bytes), VEL_E_FAIL);
  for (int i : {3, 4, 5})
    EXPECT_EQ(endpoint->Receive(sent[i].bytes), VEL_S_OK);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].payload, wiretest::PatternPayload(1500, 2));
}

TEST_F(TransportSplit, FailingSendEndsTheGroup) {
  Held<LoopEndPoint> endpoint(NewLoop(true, false));
  endpoint->failFrom = 1;
  EXPECT_EQ(Send(endpoint.get(), wiretest::PatternPayload(2000)), VEL_E_FAIL);
  EXPECT_EQ(endpoint->sent.size(), 2u);
}

TEST_F(TransportSplit, RefusesPayloadNoReceiverWouldReassemble) {
  Held<LoopEndPoint> endpoint(NewLoop(true, false));
  EXPECT_EQ(Send(endpoint.get(), std::string(4 * 1024 * 1024 + 1, 'z')), VEL_E_FAIL);
  EXPECT_TRUE(endpoint->sent.empty());
}

// Three records: multicast first, then two unicast ones.
VELP2PPeerInfo* PeerWithRecords() {
  const unsigned char records[] = {
      0x08, 0x02, 0x0A, 0x76, 0x55, 0x01, 0x00, 0xE0,  // multicast 224.0.1.85:2678
      0x08, 0x01, 0x13, 0x88, 0x0A, 0x00, 0x00, 0x01,  // unicast 10.0.0.1:5000
      0x08, 0x01, 0x13, 0x89, 0x0A, 0x00, 0x00, 0x02,  // unicast 10.0.0.2:5001
  };
  auto* info = new VELP2PPeerInfo(VELUnicodeString("remote"), 3, VELUnicodeString("/P2PRoot"));
  EXPECT_EQ(info->Initialize(reinterpret_cast<const char*>(records), sizeof(records)), VEL_S_OK);
  return info;
}

class TransportPeerSend : public transporttest::StartedPeerTest {
 protected:
  void SetUp() override {
    transporttest::StartedPeerTest::SetUp();
    _first =
        static_cast<LoopEndPoint*>(VELP2PPeerTestAccess::RegisterEndPoint(_peer, "TransportLoopEndPoint"));
    _second =
        static_cast<LoopEndPoint*>(VELP2PPeerTestAccess::RegisterEndPoint(_peer, "TransportLoopEndPoint"));
    ASSERT_TRUE(_first && _second);
    ASSERT_EQ(_first->Initialize("10.0.0.9", 4000), VEL_S_OK);
    ASSERT_EQ(_second->Initialize("10.0.0.9", 4001), VEL_S_OK);
  }

  VELResult SendToRemote() {
    std::unique_ptr<VELP2PPeerInfo> info(PeerWithRecords());
    VELUnicodeString group("/P2PRoot");
    char payload[] = "hi";
    return _peer->SendToPeer(group, "StatusService", payload, 2, info.get());
  }

  static int LastAddressByte(const SentBlock& block) { return transporttest::RecordBytes(block.record)[7]; }

  LoopEndPoint* _first = nullptr;   // owned by the peer
  LoopEndPoint* _second = nullptr;  // owned by the peer
};

TEST_F(TransportPeerSend, TriesSecondLocalEndpointWithSameRecordBeforeNextRecord) {
  _first->failFrom = 0;
  EXPECT_EQ(SendToRemote(), VEL_S_OK);
  ASSERT_EQ(_first->sent.size(), 1u);
  ASSERT_EQ(_second->sent.size(), 1u);
  // The multicast record is skipped; both local endpoints are tried with the first unicast record.
  EXPECT_EQ(LastAddressByte(_first->sent[0]), 1);
  EXPECT_EQ(LastAddressByte(_second->sent[0]), 1);
}

TEST_F(TransportPeerSend, WalksEveryUnicastRecordWhenAllEndpointsFail) {
  _first->failFrom = 0;
  _second->failFrom = 0;
  EXPECT_EQ(SendToRemote(), VEL_E_FAIL);
  ASSERT_EQ(_first->sent.size(), 2u);
  ASSERT_EQ(_second->sent.size(), 2u);
  EXPECT_EQ(LastAddressByte(_first->sent[0]), 1);
  EXPECT_EQ(LastAddressByte(_second->sent[0]), 1);
  EXPECT_EQ(LastAddressByte(_first->sent[1]), 2);
  EXPECT_EQ(LastAddressByte(_second->sent[1]), 2);
}

}  // namespace
