// Fragment groups: how the sender cuts and marks them, and how the receiver puts them together or refuses
// them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/TraceCapture.h"
#include "unit/WireTestSupport.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PMessage.h"
#include "velp2p/VELP2PTypes.h"
#include "wire/VELByteOrder.h"
#include "wire/VELP2PFragmenter.h"
#include "wire/VELP2PReassembler.h"

using wiretest::BlockSpec;
using wiretest::BuildBlock;
using wiretest::PatternPayload;
using wiretest::RawAddress;
using wiretest::RawPort;

namespace {

const std::string kEntry = "VELP2PEndPoint - MessageGroupTreatment";

// The fragment blocks a sender puts on the network for payload, in sending order.
std::vector<std::vector<char>> Split(const BlockSpec& layout, const std::string& payload, uint32_t grpId) {
  std::vector<std::vector<char>> blocks;
  for (const VELP2PFragmentPiece& piece : VELP2PPlanFragments(static_cast<int>(payload.size()), 500)) {
    std::vector<char> block = BuildBlock(layout, payload.substr(piece.offset, piece.length));
    EXPECT_EQ(VEL_S_OK, VELP2PMarkFragment(block.data(), static_cast<int>(block.size()), piece.kind, grpId,
                                           static_cast<uint32_t>(payload.size())));
    blocks.push_back(block);
  }
  return blocks;
}

struct Outcome {
  VELResult result = VEL_E_FAIL;
  bool completed = false;
  std::vector<char> block;  // the reassembled block when completed
};

// Hands one received block to the reassembler the way the receive path does: a new[] copy that the caller
// frees afterwards, whatever the reassembler left in it.
Outcome Feed(VELP2PReassembler& reassembler, const std::vector<char>& received) {
  int size = static_cast<int>(received.size());
  char* message = new char[size];
  std::memcpy(message, received.data(), size);
  char* original = message;
  VELP2PHeaderFixedPart* fixedPart = reinterpret_cast<VELP2PHeaderFixedPart*>(message);
  Outcome outcome;
  outcome.result = reassembler.Treat(message, size, fixedPart);
  if (VEL_SUCCEEDED(outcome.result) && fixedPart) {
    outcome.completed = true;
    EXPECT_EQ(reinterpret_cast<char*>(fixedPart), message);
    outcome.block.assign(message, message + size);
  } else {
    EXPECT_EQ(message, original);
    EXPECT_EQ(size, static_cast<int>(received.size()));
  }
  delete[] message;
  return outcome;
}

// Feeds every block; the outcome of the last one.
Outcome FeedAll(VELP2PReassembler& reassembler, const std::vector<std::vector<char>>& blocks) {
  Outcome outcome;
  for (size_t i = 0; i < blocks.size(); ++i) {
    outcome = Feed(reassembler, blocks[i]);
    EXPECT_EQ(outcome.result, VEL_S_OK) << "fragment " << i;
    EXPECT_EQ(outcome.completed, i + 1 == blocks.size()) << "fragment " << i;
  }
  return outcome;
}

std::string PayloadOf(const std::vector<char>& block) {
  std::vector<char> copy = block;
  VELP2PHeader header;
  if (VEL_FAILED(header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(copy.data()),
                                   static_cast<int>(copy.size())))) {
    return "<unparsable>";
  }
  return std::string(header.GetPayload(), header.GetPayloadLength());
}

BlockSpec From(const char* sender) {
  BlockSpec layout;
  layout.sender = sender;
  return layout;
}

}  // namespace

TEST(Fragmenter, CutsLikeTheSenderDoes) {
  struct Expected {
    int length;
    std::vector<int> sizes;
    std::vector<int> kinds;
  };
  const int B = VELP2P_MESSAGE_GROUP_BEGIN, M = VELP2P_MESSAGE_GROUP_MIDDLE, E = VELP2P_MESSAGE_GROUP_END;
  const Expected cases[] = {
      {1001, {500, 500, 1}, {B, M, E}},   {1200, {500, 500, 200}, {B, M, E}},
      {1500, {500, 500, 500}, {B, M, E}}, {2600, {500, 500, 500, 500, 500, 100}, {B, M, M, M, M, E}},
      {1000, {500, 500}, {B, E}},
  };
  for (const Expected& c : cases) {
    std::vector<VELP2PFragmentPiece> pieces = VELP2PPlanFragments(c.length, 500);
    ASSERT_EQ(pieces.size(), c.sizes.size()) << c.length;
    int offset = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
      EXPECT_EQ(pieces[i].offset, offset) << c.length;
      EXPECT_EQ(pieces[i].length, c.sizes[i]) << c.length;
      EXPECT_EQ(pieces[i].kind, c.kinds[i]) << c.length;
      offset += pieces[i].length;
    }
    EXPECT_EQ(offset, c.length);
  }
  EXPECT_TRUE(VELP2PPlanFragments(500, 500).empty());  // needs a first and a last fragment
  EXPECT_TRUE(VELP2PPlanFragments(5000, 0).empty());
}

TEST(Fragmenter, MarksFirstMiddleAndLast) {
  const std::vector<char> whole = BuildBlock(BlockSpec(), "piece");
  // First: mode 0x30; MsgGrpId at 80, the announced total at 84 in place of both ports.
  std::vector<char> first = whole;
  ASSERT_EQ(VEL_S_OK, VELP2PMarkFragment(first.data(), 94, VELP2P_MESSAGE_GROUP_BEGIN, 0x61A8F00D, 1200));
  const unsigned char firstTail[12] = {85, 1, 0, 224, 0x61, 0xA8, 0xF0, 0x0D, 0x00, 0x00, 0x04, 0xB0};
  EXPECT_EQ(static_cast<unsigned char>(first[7]), 0x30);
  EXPECT_EQ(0, std::memcmp(first.data() + 76, firstTail, 12));
  // Middle: mode 0x50; MsgGrpId at 80, ports as built.
  std::vector<char> middle = whole;
  ASSERT_EQ(VEL_S_OK, VELP2PMarkFragment(middle.data(), 94, VELP2P_MESSAGE_GROUP_MIDDLE, 0x61A8F00D, 1200));
  const unsigned char middleTail[12] = {85, 1, 0, 224, 0x61, 0xA8, 0xF0, 0x0D, 0x0A, 0x76, 0x9C, 0x40};
  EXPECT_EQ(static_cast<unsigned char>(middle[7]), 0x50);
  EXPECT_EQ(0, std::memcmp(middle.data() + 76, middleTail, 12));
  // Last: mode 0x90; MsgGrpId at 76, otherAddress and ports as built.
  std::vector<char> last = whole;
  ASSERT_EQ(VEL_S_OK, VELP2PMarkFragment(last.data(), 94, VELP2P_MESSAGE_GROUP_END, 0x61A8F00D, 1200));
  const unsigned char lastTail[12] = {0x61, 0xA8, 0xF0, 0x0D, 10, 0, 0, 7, 0x0A, 0x76, 0x9C, 0x40};
  EXPECT_EQ(static_cast<unsigned char>(last[7]), 0x90);
  EXPECT_EQ(0, std::memcmp(last.data() + 76, lastTail, 12));
  // Everything before byte 76 but the mode is the whole block's.
  EXPECT_EQ(0, std::memcmp(last.data(), whole.data(), 7));
  EXPECT_EQ(0, std::memcmp(last.data() + 8, whole.data() + 8, 68));

  BlockSpec unicast;
  unicast.mode = 0;
  std::vector<char> unicastFirst = BuildBlock(unicast, "p");
  ASSERT_EQ(VEL_S_OK, VELP2PMarkFragment(unicastFirst.data(), 90, VELP2P_MESSAGE_GROUP_BEGIN, 1, 1001));
  EXPECT_EQ(static_cast<unsigned char>(unicastFirst[7]), 0x28);
}

TEST(Fragmenter, RefusesShortBlocksAndUnknownKinds) {
  std::vector<char> block = BuildBlock(BlockSpec(), "p");
  const std::vector<char> before = block;
  EXPECT_EQ(VEL_E_FAIL, VELP2PMarkFragment(block.data(), 87, VELP2P_MESSAGE_GROUP_BEGIN, 1, 1001));
  EXPECT_EQ(VEL_E_FAIL, VELP2PMarkFragment(nullptr, 90, VELP2P_MESSAGE_GROUP_BEGIN, 1, 1001));
  EXPECT_EQ(VEL_E_FAIL, VELP2PMarkFragment(block.data(), 90, VELP2P_MESSAGE_SINGLE, 1, 1001));
  EXPECT_EQ(VEL_E_FAIL, VELP2PMarkFragment(block.data(), 90, 0x60, 1, 1001));
  EXPECT_EQ(block, before);
}

TEST(Reassembly, PutsSplitPayloadsBackTogether) {
  for (int length : {1001, 1200, 1500, 4321}) {
    TraceCapture trace;
    VELP2PReassembler reassembler;
    std::string payload = PatternPayload(length, length);
    std::vector<std::vector<char>> blocks = Split(BlockSpec(), payload, 0x5E000000u + length);
    Outcome outcome = FeedAll(reassembler, blocks);
    ASSERT_TRUE(outcome.completed) << length;
    // totalLength is the announced total plus the header length; the header is the first fragment's.
    EXPECT_EQ(VELP2PLoadU32BE(outcome.block.data()), static_cast<uint32_t>(length + 89)) << length;
    EXPECT_EQ(outcome.block.size(), static_cast<size_t>(length + 89)) << length;
    EXPECT_EQ(0, std::memcmp(outcome.block.data() + 4, blocks[0].data() + 4, 72)) << length;
    EXPECT_EQ(PayloadOf(outcome.block), payload) << length;
    EXPECT_EQ(reassembler.GetGroupCount(), 0);
    EXPECT_EQ(reassembler.GetSenderCount(), 0);
    EXPECT_EQ(reassembler.GetHeldBytes(), 0u);
    EXPECT_EQ(trace.Count(kEntry), static_cast<int>(blocks.size()));
  }
}

TEST(Reassembly, CompletedBlockReadsAsAWholeMessageFromItsSender) {
  VELP2PReassembler reassembler;
  std::string payload = PatternPayload(1200);
  BlockSpec firstSpec;
  firstSpec.senderAddress = RawAddress(85, 1, 0, 224);
  BlockSpec lastSpec = firstSpec;
  lastSpec.otherAddress = RawAddress(192, 168, 3, 4);
  lastSpec.senderPort = RawPort(0x11, 0x22);
  lastSpec.otherPort = RawPort(0x33, 0x44);
  std::vector<std::vector<char>> blocks = Split(firstSpec, payload, 77);
  blocks[2] = Split(lastSpec, payload, 77)[2];
  Outcome outcome = FeedAll(reassembler, blocks);
  ASSERT_TRUE(outcome.completed);
  // Sender address of the first fragment, otherAddress and ports of the last.
  const unsigned char tail[12] = {85, 1, 0, 224, 192, 168, 3, 4, 0x11, 0x22, 0x33, 0x44};
  EXPECT_EQ(0, std::memcmp(outcome.block.data() + 76, tail, 12));

  // So a service can answer the sender of a reassembled multicast message at its advertised TCP endpoint.
  VELP2PHeader header;
  ASSERT_EQ(VEL_S_OK, header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(outcome.block.data()),
                                        static_cast<int>(outcome.block.size())));
  VELP2PMessage message(header);
  EXPECT_EQ(message.IsMulticast(), 1);
  VELP2PEndPointInfo info{8, VELP2P_ENDPOINT_UNICAST, 0, 0};
  ASSERT_EQ(VEL_S_OK, message.GetSendingPeerEPInfo(info, VELP2P_MESSAGE_UNICAST));
  EXPECT_EQ(info.address, RawAddress(192, 168, 3, 4));
  EXPECT_EQ(info.port, RawPort(0x33, 0x44));
}

TEST(Reassembly, MiddleOrLastWithoutAnyGroupOfItsSenderIsDiscarded) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  std::vector<std::vector<char>> blocks = Split(BlockSpec(), PatternPayload(1200), 5);
  EXPECT_EQ(Feed(reassembler, blocks[1]).result, VEL_E_FAIL);
  EXPECT_EQ(Feed(reassembler, blocks[2]).result, VEL_E_FAIL);
  EXPECT_EQ(trace.Count("No Sender Holder for this peer_id <alice>, message discarded "), 2);
  EXPECT_EQ(reassembler.GetSenderCount(), 0);
}

TEST(Reassembly, MiddleOrLastOfAnUnknownGroupDiscardsOnlyItself) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  std::vector<std::vector<char>> inProgress = Split(BlockSpec(), PatternPayload(1200, 1), 5);
  std::vector<std::vector<char>> early = Split(BlockSpec(), PatternPayload(1200, 2), 6);
  ASSERT_EQ(Feed(reassembler, inProgress[0]).result, VEL_S_OK);
  EXPECT_EQ(Feed(reassembler, early[1]).result, VEL_E_FAIL);
  EXPECT_EQ(trace.Count("Cannot retrieve buff_hold for this MsgGrpId, message discarded "), 1);
  EXPECT_EQ(Feed(reassembler, early[2]).result, VEL_E_FAIL);
  EXPECT_EQ(trace.Count("Cannot retrieve buff_hold for this grpId "), 1);
  // The group in progress is untouched and completes.
  EXPECT_EQ(Feed(reassembler, inProgress[1]).result, VEL_S_OK);
  Outcome outcome = Feed(reassembler, inProgress[2]);
  ASSERT_TRUE(outcome.completed);
  EXPECT_EQ(PayloadOf(outcome.block), PatternPayload(1200, 1));
}

TEST(Reassembly, LostMiddleFailsTheLastAndDropsTheGroup) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  std::vector<std::vector<char>> blocks = Split(BlockSpec(), PatternPayload(1200), 9);
  ASSERT_EQ(Feed(reassembler, blocks[0]).result, VEL_S_OK);
  EXPECT_EQ(Feed(reassembler, blocks[2]).result, VEL_E_FAIL);
  // 589 bytes of the first fragment and 200 of the last, of 1200 + 89.
  EXPECT_EQ(trace.Count("wrong final size in VELP2P_MESSAGE_GROUP_END: is <789> and should be <1289>"), 1);
  EXPECT_EQ(reassembler.GetGroupCount(), 0);
  EXPECT_EQ(reassembler.GetSenderCount(), 0);
  EXPECT_EQ(reassembler.GetHeldBytes(), 0u);
  EXPECT_EQ(Feed(reassembler, blocks[1]).result, VEL_E_FAIL);  // the group is gone
}

TEST(Reassembly, KeepsGroupsApartPerSenderUnderTheSameGroupId) {
  VELP2PReassembler reassembler;
  std::vector<std::vector<char>> alice = Split(From("alice"), PatternPayload(1500, 1), 42);
  std::vector<std::vector<char>> bob = Split(From("bob"), PatternPayload(1500, 2), 42);
  Outcome aliceDone, bobDone;
  for (size_t i = 0; i < alice.size(); ++i) {
    aliceDone = Feed(reassembler, alice[i]);
    bobDone = Feed(reassembler, bob[i]);
    ASSERT_EQ(aliceDone.result, VEL_S_OK);
    ASSERT_EQ(bobDone.result, VEL_S_OK);
  }
  ASSERT_TRUE(aliceDone.completed);
  ASSERT_TRUE(bobDone.completed);
  EXPECT_EQ(PayloadOf(aliceDone.block), PatternPayload(1500, 1));
  EXPECT_EQ(PayloadOf(bobDone.block), PatternPayload(1500, 2));
}

TEST(Reassembly, SameGroupIdAgainAfterCompletionStartsAFreshGroup) {
  VELP2PReassembler reassembler;
  Outcome first = FeedAll(reassembler, Split(BlockSpec(), PatternPayload(1100, 3), 100));
  Outcome second = FeedAll(reassembler, Split(BlockSpec(), PatternPayload(1300, 4), 100));
  ASSERT_TRUE(first.completed);
  ASSERT_TRUE(second.completed);
  EXPECT_EQ(PayloadOf(second.block), PatternPayload(1300, 4));
}

TEST(Reassembly, RefusesLyingTotals) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  const int cap = VELP2PReassembler::DefaultLimits().maxTotal;
  struct Case {
    uint32_t total;
    std::string line;
  };
  const Case cases[] = {
      {0, "VELP2PEndPoint - MessageGroupTreatment : wrong total size <0> "},
      {0xFFFFFFFB, "VELP2PEndPoint - MessageGroupTreatment : wrong total size <-5> "},
      {0x80000000, "VELP2PEndPoint - MessageGroupTreatment : wrong total size <-2147483648> "},
      {static_cast<uint32_t>(cap) + 1,
       "VELP2PEndPoint - MessageGroupTreatment : wrong total size <" + std::to_string(cap + 1) + "> "},
  };
  for (const Case& c : cases) {
    std::vector<char> first = Split(BlockSpec(), PatternPayload(1200), 3)[0];
    VELP2PStoreU32BE(first.data() + 84, c.total);
    EXPECT_EQ(Feed(reassembler, first).result, VEL_E_FAIL) << c.total;
    EXPECT_EQ(trace.Count(c.line), 1) << c.line;
  }
  EXPECT_EQ(reassembler.GetGroupCount(), 0);
  EXPECT_EQ(reassembler.GetHeldBytes(), 0u);

  // The largest total allowed is taken.
  std::vector<char> first = Split(BlockSpec(), PatternPayload(1200), 3)[0];
  VELP2PStoreU32BE(first.data() + 84, static_cast<uint32_t>(cap));
  EXPECT_EQ(Feed(reassembler, first).result, VEL_S_OK);
}

TEST(Reassembly, DropsTheGroupWhenAPieceExceedsTheAnnouncedTotal) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  // The first fragment alone is larger than what it announces.
  std::vector<std::vector<char>> blocks = Split(BlockSpec(), PatternPayload(1200), 11);
  VELP2PStoreU32BE(blocks[0].data() + 84, 400);
  EXPECT_EQ(Feed(reassembler, blocks[0]).result, VEL_E_FAIL);
  EXPECT_EQ(trace.Count("announced message size <489> exceeded in VELP2P_MESSAGE_GROUP_BEGIN"), 1);

  // A middle piece beyond what is left: 589 of 689 bytes are filled, 500 more do not fit.
  VELP2PStoreU32BE(blocks[0].data() + 84, 600);
  ASSERT_EQ(Feed(reassembler, blocks[0]).result, VEL_S_OK);
  EXPECT_EQ(Feed(reassembler, blocks[1]).result, VEL_E_FAIL);
  EXPECT_EQ(trace.Count("announced message size <689> exceeded in VELP2P_MESSAGE_GROUP_MIDDLE"), 1);
  EXPECT_EQ(reassembler.GetGroupCount(), 0);
  EXPECT_EQ(Feed(reassembler, blocks[2]).result, VEL_E_FAIL);

  // A last piece beyond what is left.
  VELP2PStoreU32BE(blocks[0].data() + 84, 1000);
  ASSERT_EQ(Feed(reassembler, blocks[0]).result, VEL_S_OK);
  ASSERT_EQ(Feed(reassembler, blocks[1]).result, VEL_S_OK);
  EXPECT_EQ(Feed(reassembler, blocks[2]).result, VEL_E_FAIL);
  EXPECT_EQ(trace.Count("announced message size <1089> exceeded in VELP2P_MESSAGE_GROUP_END"), 1);
  EXPECT_EQ(reassembler.GetGroupCount(), 0);
  EXPECT_EQ(reassembler.GetHeldBytes(), 0u);
}

TEST(Reassembly, RefusesFragmentsWhoseLengthsContradictTheReceivedBytes) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  std::vector<std::vector<char>> blocks = Split(BlockSpec(), PatternPayload(1200), 12);
  std::vector<char> truncated(blocks[0].begin(), blocks[0].begin() + 300);  // totalLength says 589
  EXPECT_EQ(Feed(reassembler, truncated).result, VEL_E_FAIL);
  std::vector<char> shortHeader = blocks[0];
  VELP2PStoreU16BE(shortHeader.data() + 4, 40);
  EXPECT_EQ(Feed(reassembler, shortHeader).result, VEL_E_FAIL);
  EXPECT_EQ(trace.Count("VELP2PEndPoint - MessageGroupTreatment : malformed fragment, message discarded "),
            2);
  EXPECT_EQ(reassembler.GetGroupCount(), 0);

  // A middle fragment that lies about its length leaves the group as it was.
  ASSERT_EQ(Feed(reassembler, blocks[0]).result, VEL_S_OK);
  std::vector<char> lyingMiddle = blocks[1];
  VELP2PStoreU32BE(lyingMiddle.data(), 100000);
  EXPECT_EQ(Feed(reassembler, lyingMiddle).result, VEL_E_FAIL);
  EXPECT_EQ(Feed(reassembler, blocks[1]).result, VEL_S_OK);
  EXPECT_TRUE(Feed(reassembler, blocks[2]).completed);
}

TEST(Reassembly, RefusesFragmentsThatDisagreeWithTheFirst) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  std::string payload = PatternPayload(1200);
  std::vector<std::vector<char>> blocks = Split(BlockSpec(), payload, 13);
  BlockSpec byTcp;
  byTcp.mode = 0;
  BlockSpec otherService;
  otherService.service = "ChatService";
  ASSERT_EQ(Feed(reassembler, blocks[0]).result, VEL_S_OK);
  EXPECT_EQ(Feed(reassembler, Split(byTcp, payload, 13)[1]).result, VEL_E_FAIL);
  EXPECT_EQ(Feed(reassembler, Split(otherService, payload, 13)[1]).result, VEL_E_FAIL);
  EXPECT_EQ(
      trace.Count("VELP2PEndPoint - MessageGroupTreatment : fragment does not match group <13>, message "
                  "discarded "),
      2);
  // The group itself is intact.
  EXPECT_EQ(Feed(reassembler, blocks[1]).result, VEL_S_OK);
  Outcome outcome = Feed(reassembler, blocks[2]);
  ASSERT_TRUE(outcome.completed);
  EXPECT_EQ(PayloadOf(outcome.block), payload);
}

TEST(Reassembly, RefusesASecondGroupUnderAnIdInProgress) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  std::vector<std::vector<char>> first = Split(BlockSpec(), PatternPayload(1200, 1), 14);
  std::vector<std::vector<char>> second = Split(BlockSpec(), PatternPayload(1200, 2), 14);
  ASSERT_EQ(Feed(reassembler, first[0]).result, VEL_S_OK);
  EXPECT_EQ(Feed(reassembler, second[0]).result, VEL_E_FAIL);
  EXPECT_EQ(trace.Count("Cannot Insert Message in hash table, message discarded "), 1);
  EXPECT_EQ(reassembler.GetGroupCount(), 1);
  ASSERT_EQ(Feed(reassembler, first[1]).result, VEL_S_OK);
  Outcome outcome = Feed(reassembler, first[2]);
  ASSERT_TRUE(outcome.completed);
  EXPECT_EQ(PayloadOf(outcome.block), PatternPayload(1200, 1));
}

TEST(Reassembly, RefusesBlocksWithoutGroupBit) {
  VELP2PReassembler reassembler;
  std::vector<char> whole = BuildBlock(BlockSpec(), "x");
  EXPECT_EQ(Feed(reassembler, whole).result, VEL_E_FAIL);
  char* message = nullptr;
  int size = 0;
  VELP2PHeaderFixedPart* fixedPart = nullptr;
  EXPECT_EQ(VEL_E_FAIL, reassembler.Treat(message, size, fixedPart));
}

TEST(Reassembly, DropsTheOldestGroupOfASenderAtItsLimit) {
  TraceCapture trace;
  VELP2PReassembler::Limits limits = VELP2PReassembler::DefaultLimits();
  limits.maxGroupsPerSender = 2;
  VELP2PReassembler reassembler(limits);
  std::vector<std::vector<char>> groups[3];
  for (int i = 0; i < 3; ++i) {
    groups[i] = Split(BlockSpec(), PatternPayload(1200, i), 21 + i);
    ASSERT_EQ(Feed(reassembler, groups[i][0]).result, VEL_S_OK);
  }
  ASSERT_EQ(Feed(reassembler, Split(From("bob"), PatternPayload(1200), 99)[0]).result, VEL_S_OK);
  EXPECT_EQ(
      trace.Count("VELP2PEndPoint - MessageGroupTreatment : group <21> of <alice> dropped to make room "), 1);
  EXPECT_FALSE(reassembler.HasGroup("alice", 21));
  EXPECT_TRUE(reassembler.HasGroup("alice", 22));
  EXPECT_TRUE(reassembler.HasGroup("alice", 23));
  EXPECT_TRUE(reassembler.HasGroup("bob", 99));  // another sender's limit is its own
  EXPECT_EQ(reassembler.GetGroupCount(), 3);
  EXPECT_EQ(Feed(reassembler, groups[0][1]).result, VEL_E_FAIL);
  for (int i = 1; i < 3; ++i) {
    ASSERT_EQ(Feed(reassembler, groups[i][1]).result, VEL_S_OK);
    EXPECT_TRUE(Feed(reassembler, groups[i][2]).completed);
  }
}

TEST(Reassembly, DropsTheOldestGroupOverAllSendersAtTheEndPointLimits) {
  TraceCapture trace;
  VELP2PReassembler::Limits limits = VELP2PReassembler::DefaultLimits();
  limits.maxGroups = 3;
  VELP2PReassembler byCount(limits);
  const char* senders[] = {"alice", "bob", "carol", "dave"};
  for (const char* sender : senders) {
    ASSERT_EQ(Feed(byCount, Split(From(sender), PatternPayload(1200), 7)[0]).result, VEL_S_OK);
  }
  EXPECT_EQ(byCount.GetGroupCount(), 3);
  EXPECT_FALSE(byCount.HasGroup("alice", 7));
  EXPECT_TRUE(byCount.HasGroup("dave", 7));
  EXPECT_EQ(byCount.GetSenderCount(), 3);
  EXPECT_EQ(
      trace.Count("VELP2PEndPoint - MessageGroupTreatment : group <7> of <alice> dropped to make room "), 1);

  // Each 1200-byte group holds 1289 bytes; two fit in 3000, a third makes the oldest go.
  limits = VELP2PReassembler::DefaultLimits();
  limits.maxBytes = 3000;
  VELP2PReassembler byBytes(limits);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Feed(byBytes, Split(From(senders[i]), PatternPayload(1200), 8)[0]).result, VEL_S_OK);
    EXPECT_LE(byBytes.GetHeldBytes(), 3000u);
  }
  EXPECT_EQ(byBytes.GetHeldBytes(), 2u * 1289u);
  EXPECT_FALSE(byBytes.HasGroup("alice", 8));
  EXPECT_TRUE(byBytes.HasGroup("bob", 8));
  EXPECT_TRUE(byBytes.HasGroup("carol", 8));

  // A message that could never fit is refused before anything is dropped.
  std::vector<char> huge = Split(From("erin"), PatternPayload(1200), 9)[0];
  VELP2PStoreU32BE(huge.data() + 84, 2950);
  EXPECT_EQ(Feed(byBytes, huge).result, VEL_E_FAIL);
  EXPECT_EQ(trace.Count("VELP2PEndPoint - MessageGroupTreatment : wrong total size <2950> "), 1);
  EXPECT_EQ(byBytes.GetGroupCount(), 2);
}
