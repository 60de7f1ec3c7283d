// Fragment groups: how the sender cuts and marks them, and how the receiver puts them together or refuses
// them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/TraceCapture.h"
#include "unit/WireTestSupport.h"
#include "velp2p/VELP2PHeader.h"
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

const std::string kTreatment = "VELP2PEndPoint - MessageGroupTreatment : ";

using Blocks = std::vector<std::vector<char>>;

// The fragment blocks a sender puts on the network for payload, in sending order.
Blocks Split(const BlockSpec& layout, const std::string& payload, uint32_t grpId) {
  Blocks blocks;
  for (const VELP2PFragmentPiece& piece : VELP2PPlanFragments(static_cast<int>(payload.size()), 500)) {
    std::vector<char> block = BuildBlock(layout, payload.substr(piece.offset, piece.length));
    EXPECT_EQ(VEL_S_OK, VELP2PMarkFragment(block.data(), static_cast<int>(block.size()), piece.kind, grpId,
                                           static_cast<uint32_t>(payload.size())));
    blocks.push_back(block);
  }
  return blocks;
}

BlockSpec From(const char* sender) {
  BlockSpec layout;
  layout.sender = sender;
  return layout;
}

struct Outcome {
  VELResult result = VEL_E_FAIL;
  bool completed = false;
  std::vector<char> block;  // the reassembled block when completed
  std::string payload;      // its bytes past the header length
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
    const int headerLength = VELP2PLoadU16BE(message + 4);
    if (headerLength <= size)
      outcome.payload.assign(message + headerLength, message + size);
  } else {
    EXPECT_EQ(message, original);
  }
  delete[] message;
  return outcome;
}

VELResult Result(VELP2PReassembler& reassembler, const std::vector<char>& received) {
  return Feed(reassembler, received).result;
}

// Feeds every block, expecting each to be taken and only the last to complete; the outcome of the last.
Outcome FeedAll(VELP2PReassembler& reassembler, const Blocks& blocks) {
  Outcome outcome;
  for (size_t i = 0; i < blocks.size(); ++i) {
    outcome = Feed(reassembler, blocks[i]);
    EXPECT_EQ(outcome.result, VEL_S_OK) << "fragment " << i;
    EXPECT_EQ(outcome.completed, i + 1 == blocks.size()) << "fragment " << i;
  }
  return outcome;
}

}  // namespace

// The first carries MsgGrpId at 80 and the announced total at 84 in place of both ports; a middle one
// MsgGrpId at 80; the last MsgGrpId at 76. Nothing else but the mode changes.
TEST(Fragmenter, MarksFirstMiddleAndLastAndRefusesWhatItCannotMark) {
  const std::vector<char> whole = BuildBlock(BlockSpec(), "piece");
  const struct {
    int kind;
    unsigned char mode;
    unsigned char tail[12];  // bytes 76 to 87
  } cases[] = {
      {VELP2P_MESSAGE_GROUP_BEGIN, 0x30, {85, 1, 0, 224, 0x61, 0xA8, 0xF0, 0x0D, 0x00, 0x00, 0x04, 0xB0}},
      {VELP2P_MESSAGE_GROUP_MIDDLE, 0x50, {85, 1, 0, 224, 0x61, 0xA8, 0xF0, 0x0D, 0x0A, 0x76, 0x9C, 0x40}},
      {VELP2P_MESSAGE_GROUP_END, 0x90, {0x61, 0xA8, 0xF0, 0x0D, 10, 0, 0, 7, 0x0A, 0x76, 0x9C, 0x40}},
  };
  for (const auto& c : cases) {
    std::vector<char> block = whole;
    ASSERT_EQ(VEL_S_OK, VELP2PMarkFragment(block.data(), 94, c.kind, 0x61A8F00D, 1200));
    EXPECT_EQ(static_cast<unsigned char>(block[7]), c.mode);
    EXPECT_EQ(0, std::memcmp(block.data() + 76, c.tail, 12)) << c.kind;
    block[7] = whole[7];
    EXPECT_EQ(0, std::memcmp(block.data(), whole.data(), 76));
  }
  std::vector<char> block = whole;
  EXPECT_EQ(VEL_E_FAIL, VELP2PMarkFragment(block.data(), 87, VELP2P_MESSAGE_GROUP_BEGIN, 1, 1001));
  EXPECT_EQ(VEL_E_FAIL, VELP2PMarkFragment(nullptr, 94, VELP2P_MESSAGE_GROUP_BEGIN, 1, 1001));
  EXPECT_EQ(VEL_E_FAIL, VELP2PMarkFragment(block.data(), 94, VELP2P_MESSAGE_SINGLE, 1, 1001));
  EXPECT_EQ(VEL_E_FAIL, VELP2PMarkFragment(block.data(), 94, 0x60, 1, 1001));
  EXPECT_EQ(block, whole);
}

// The header is the first fragment's but for the total length, which counts the whole payload, and for
// otherAddress and the ports, which the last fragment gives: the unicast endpoint a reply goes to.
TEST(Reassembly, PutsSplitPayloadsBackTogether) {
  BlockSpec lastSpec;
  lastSpec.otherAddress = RawAddress(192, 168, 3, 4);
  lastSpec.senderPort = RawPort(0x11, 0x22);
  lastSpec.otherPort = RawPort(0x33, 0x44);
  const unsigned char tail[12] = {85, 1, 0, 224, 192, 168, 3, 4, 0x11, 0x22, 0x33, 0x44};
  for (int length : {1001, 4321}) {
    VELP2PReassembler reassembler;
    std::string payload = PatternPayload(length, length);
    Blocks blocks = Split(BlockSpec(), payload, 0x5E000000u + length);
    blocks.back() = Split(lastSpec, payload, 0x5E000000u + length).back();
    Outcome outcome = FeedAll(reassembler, blocks);
    ASSERT_EQ(outcome.block.size(), static_cast<size_t>(length + 89)) << length;
    EXPECT_EQ(VELP2PLoadU32BE(outcome.block.data()), static_cast<uint32_t>(length + 89)) << length;
    EXPECT_EQ(0, std::memcmp(outcome.block.data() + 4, blocks[0].data() + 4, 72)) << length;
    EXPECT_EQ(0, std::memcmp(outcome.block.data() + 76, tail, 12)) << length;
    EXPECT_EQ(outcome.payload, payload) << length;
    EXPECT_EQ(reassembler.GetGroupCount(), 0);
    EXPECT_EQ(reassembler.GetSenderCount(), 0);
    EXPECT_EQ(reassembler.GetHeldBytes(), 0u);
  }
}

TEST(Reassembly, FragmentOfNoKnownOrLostGroupDiscardsOnlyItsGroup) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  Blocks inProgress = Split(BlockSpec(), PatternPayload(1200, 1), 5);
  Blocks early = Split(BlockSpec(), PatternPayload(1200, 2), 6);
  EXPECT_EQ(Result(reassembler, early[1]), VEL_E_FAIL);
  EXPECT_EQ(trace.Count("No Sender Holder for this peer_id <alice>, message discarded "), 1);
  EXPECT_EQ(reassembler.GetSenderCount(), 0);

  ASSERT_EQ(Result(reassembler, inProgress[0]), VEL_S_OK);
  EXPECT_EQ(Result(reassembler, early[1]), VEL_E_FAIL);
  EXPECT_EQ(Result(reassembler, early[2]), VEL_E_FAIL);
  EXPECT_EQ(trace.Count("Cannot retrieve buff_hold for this MsgGrpId, message discarded "), 1);
  EXPECT_EQ(trace.Count("Cannot retrieve buff_hold for this grpId "), 1);
  EXPECT_EQ(Result(reassembler, inProgress[1]), VEL_S_OK);
  EXPECT_EQ(Feed(reassembler, inProgress[2]).payload, PatternPayload(1200, 1));

  // A lost middle fails the last, which drops the group: 589 bytes of the first fragment and 200 of the
  // last, of 1200 + 89.
  ASSERT_EQ(Result(reassembler, early[0]), VEL_S_OK);
  EXPECT_EQ(Result(reassembler, early[2]), VEL_E_FAIL);
  EXPECT_EQ(trace.Count("wrong final size in VELP2P_MESSAGE_GROUP_END: is <789> and should be <1289>"), 1);
  EXPECT_EQ(reassembler.GetGroupCount(), 0);
  EXPECT_EQ(reassembler.GetHeldBytes(), 0u);
  EXPECT_EQ(Result(reassembler, early[1]), VEL_E_FAIL);
}

TEST(Reassembly, KeepsGroupsApartPerSenderUnderTheSameGroupId) {
  VELP2PReassembler reassembler;
  Blocks alice = Split(From("alice"), PatternPayload(1500, 1), 42);
  Blocks bob = Split(From("bob"), PatternPayload(1500, 2), 42);
  Outcome aliceDone, bobDone;
  for (size_t i = 0; i < alice.size(); ++i) {
    aliceDone = Feed(reassembler, alice[i]);
    bobDone = Feed(reassembler, bob[i]);
    ASSERT_EQ(aliceDone.result, VEL_S_OK);
    ASSERT_EQ(bobDone.result, VEL_S_OK);
  }
  EXPECT_EQ(aliceDone.payload, PatternPayload(1500, 1));
  EXPECT_EQ(bobDone.payload, PatternPayload(1500, 2));
  // Once completed, the same identifier starts a fresh group.
  EXPECT_EQ(FeedAll(reassembler, Split(From("alice"), PatternPayload(1300, 4), 42)).payload,
            PatternPayload(1300, 4));
}

// A second first fragment under the identifier, a fragment by another transport or for another service:
// each is refused alone and the group in progress completes.
TEST(Reassembly, RefusesFragmentsThatDisagreeWithTheGroupInProgress) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  std::string payload = PatternPayload(1200);
  Blocks blocks = Split(BlockSpec(), payload, 13);
  BlockSpec byTcp;
  byTcp.mode = 0;
  BlockSpec otherService;
  otherService.service = "ChatService";
  ASSERT_EQ(Result(reassembler, blocks[0]), VEL_S_OK);
  EXPECT_EQ(Result(reassembler, Split(BlockSpec(), PatternPayload(1200, 2), 13)[0]), VEL_E_FAIL);
  EXPECT_EQ(trace.Count("Cannot Insert Message in hash table, message discarded "), 1);
  EXPECT_EQ(Result(reassembler, Split(byTcp, payload, 13)[1]), VEL_E_FAIL);
  EXPECT_EQ(Result(reassembler, Split(otherService, payload, 13)[1]), VEL_E_FAIL);
  EXPECT_EQ(trace.Count(kTreatment + "fragment does not match group <13>, message discarded "), 2);
  EXPECT_EQ(reassembler.GetGroupCount(), 1);
  EXPECT_EQ(Result(reassembler, blocks[1]), VEL_S_OK);
  EXPECT_EQ(Feed(reassembler, blocks[2]).payload, payload);
}

TEST(Reassembly, RefusesLyingTotals) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  const int cap = VELP2PReassembler::DefaultLimits().maxTotal;
  const struct {
    uint32_t total;
    std::string shown;
  } cases[] = {{0, "0"},
               {0xFFFFFFFB, "-5"},
               {0x80000000, "-2147483648"},
               {static_cast<uint32_t>(cap) + 1, std::to_string(cap + 1)}};
  for (const auto& c : cases) {
    std::vector<char> first = Split(BlockSpec(), PatternPayload(1200), 3)[0];
    VELP2PStoreU32BE(first.data() + 84, c.total);
    EXPECT_EQ(Result(reassembler, first), VEL_E_FAIL) << c.total;
    EXPECT_EQ(trace.Count(kTreatment + "wrong total size <" + c.shown + "> "), 1) << c.shown;
  }
  EXPECT_EQ(reassembler.GetGroupCount(), 0);
  EXPECT_EQ(reassembler.GetHeldBytes(), 0u);

  std::vector<char> first = Split(BlockSpec(), PatternPayload(1200), 3)[0];
  VELP2PStoreU32BE(first.data() + 84, static_cast<uint32_t>(cap));
  EXPECT_EQ(Result(reassembler, first), VEL_S_OK);  // the largest total allowed
}

// The announced total (plus the 89-byte header) caps the group: with 400 the first fragment alone is too
// large; with 600, 589 bytes are filled and a 500-byte middle does not fit; with 1000, the last does not.
TEST(Reassembly, DropsTheGroupWhenAPieceExceedsTheAnnouncedTotal) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  const struct {
    uint32_t total;
    size_t failing;  // the fragment that exceeds it
    const char* line;
  } cases[] = {{400, 0, "announced message size <489> exceeded in VELP2P_MESSAGE_GROUP_BEGIN"},
               {600, 1, "announced message size <689> exceeded in VELP2P_MESSAGE_GROUP_MIDDLE"},
               {1000, 2, "announced message size <1089> exceeded in VELP2P_MESSAGE_GROUP_END"}};
  for (const auto& c : cases) {
    Blocks blocks = Split(BlockSpec(), PatternPayload(1200), 11);
    VELP2PStoreU32BE(blocks[0].data() + 84, c.total);
    for (size_t i = 0; i < c.failing; ++i)
      ASSERT_EQ(Result(reassembler, blocks[i]), VEL_S_OK) << c.total;
    EXPECT_EQ(Result(reassembler, blocks[c.failing]), VEL_E_FAIL) << c.total;
    EXPECT_EQ(trace.Count(c.line), 1) << c.total;
    EXPECT_EQ(reassembler.GetGroupCount(), 0) << c.total;
  }
  EXPECT_EQ(reassembler.GetHeldBytes(), 0u);
}

TEST(Reassembly, RefusesBlocksWhoseLengthsOrModeContradictTheReceivedBytes) {
  TraceCapture trace;
  VELP2PReassembler reassembler;
  Blocks blocks = Split(BlockSpec(), PatternPayload(1200), 12);
  std::vector<char> truncated(blocks[0].begin(), blocks[0].begin() + 300);  // totalLength says 589
  EXPECT_EQ(Result(reassembler, truncated), VEL_E_FAIL);
  std::vector<char> shortHeader = blocks[0];
  VELP2PStoreU16BE(shortHeader.data() + 4, 40);
  EXPECT_EQ(Result(reassembler, shortHeader), VEL_E_FAIL);
  EXPECT_EQ(trace.Count(kTreatment + "malformed fragment, message discarded "), 2);
  EXPECT_EQ(Result(reassembler, BuildBlock(BlockSpec(), "x")), VEL_E_FAIL);  // no group bit
  char* nothing = nullptr;
  int size = 0;
  VELP2PHeaderFixedPart* fixedPart = nullptr;
  EXPECT_EQ(VEL_E_FAIL, reassembler.Treat(nothing, size, fixedPart));
  EXPECT_EQ(reassembler.GetGroupCount(), 0);

  // A middle fragment that lies about its length leaves the group as it was.
  ASSERT_EQ(Result(reassembler, blocks[0]), VEL_S_OK);
  std::vector<char> lyingMiddle = blocks[1];
  VELP2PStoreU32BE(lyingMiddle.data(), 100000);
  EXPECT_EQ(Result(reassembler, lyingMiddle), VEL_E_FAIL);
  EXPECT_EQ(Result(reassembler, blocks[1]), VEL_S_OK);
  EXPECT_TRUE(Feed(reassembler, blocks[2]).completed);
}

TEST(Reassembly, DropsTheOldestGroupOfASenderAtItsLimit) {
  VELP2PReassembler::Limits limits = VELP2PReassembler::DefaultLimits();
  limits.maxGroupsPerSender = 2;
  VELP2PReassembler reassembler(limits);
  Blocks groups[3];
  for (int i = 0; i < 3; ++i) {
    groups[i] = Split(BlockSpec(), PatternPayload(1200, i), 21 + i);
    ASSERT_EQ(Result(reassembler, groups[i][0]), VEL_S_OK);
  }
  ASSERT_EQ(Result(reassembler, Split(From("bob"), PatternPayload(1200), 99)[0]), VEL_S_OK);
  EXPECT_FALSE(reassembler.HasGroup("alice", 21));
  EXPECT_TRUE(reassembler.HasGroup("bob", 99));  // another sender's limit is its own
  EXPECT_EQ(reassembler.GetGroupCount(), 3);
  EXPECT_EQ(Result(reassembler, groups[0][1]), VEL_E_FAIL);
  for (int i = 1; i < 3; ++i) {
    ASSERT_EQ(Result(reassembler, groups[i][1]), VEL_S_OK);
    EXPECT_TRUE(Feed(reassembler, groups[i][2]).completed);
  }
}

TEST(Reassembly, DropsTheOldestGroupOverAllSendersAtTheEndPointLimits) {
  VELP2PReassembler::Limits limits = VELP2PReassembler::DefaultLimits();
  limits.maxGroups = 3;
  VELP2PReassembler byCount(limits);
  const char* senders[] = {"alice", "bob", "carol", "dave"};
  for (const char* sender : senders)
    ASSERT_EQ(Result(byCount, Split(From(sender), PatternPayload(1200), 7)[0]), VEL_S_OK);
  EXPECT_EQ(byCount.GetGroupCount(), 3);
  EXPECT_EQ(byCount.GetSenderCount(), 3);
  EXPECT_FALSE(byCount.HasGroup("alice", 7));
  EXPECT_TRUE(byCount.HasGroup("dave", 7));

  // Each 1200-byte group holds 1289 bytes; two fit in 3000, a third makes the oldest go.
  limits = VELP2PReassembler::DefaultLimits();
  limits.maxBytes = 3000;
  VELP2PReassembler byBytes(limits);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(Result(byBytes, Split(From(senders[i]), PatternPayload(1200), 8)[0]), VEL_S_OK);
  EXPECT_EQ(byBytes.GetHeldBytes(), 2u * 1289u);
  EXPECT_FALSE(byBytes.HasGroup("alice", 8));
  EXPECT_TRUE(byBytes.HasGroup("carol", 8));

  // A message that could never fit is refused before anything is dropped.
  std::vector<char> huge = Split(From("erin"), PatternPayload(1200), 9)[0];
  VELP2PStoreU32BE(huge.data() + 84, 2950);
  EXPECT_EQ(Result(byBytes, huge), VEL_E_FAIL);
  EXPECT_EQ(byBytes.GetGroupCount(), 2);
}
