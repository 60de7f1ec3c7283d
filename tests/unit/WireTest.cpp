// The wire layer: the header as built and parsed, the message over it, fragment marks and reassembly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/Blocks.h"
#include "support/GoldenVectors.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELIBBStreamer.h"
#include "velp2p/VELP2PHeader.h"
#include "wire/VELByteOrder.h"
#include "wire/VELByteReader.h"
#include "wire/VELP2PFragmenter.h"
#include "wire/VELP2PMessage.h"
#include "wire/VELP2PReassembler.h"

namespace {

using Blocks = std::vector<std::vector<char>>;

// A parsing header over its own copy of a block, sized exactly as received.
struct Parsed {
  std::vector<char> bytes;
  VELP2PHeader header;
  VELResult result;
  Parsed(const std::vector<char>& block, size_t received) : bytes(block.begin(), block.begin() + received) {
    result =
        header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(bytes.data()), static_cast<int>(received));
  }
  explicit Parsed(const std::vector<char>& block) : Parsed(block, block.size()) {}
};

VELP2PReassembler::Outcome Take(VELP2PReassembler& reassembler, const std::vector<char>& block) {
  return reassembler.Take(VELP2PBlock::Copy(block.data(), static_cast<int>(block.size())));
}

std::string PayloadOf(const VELP2PBlock& block) {
  const int headerLength = VELP2PLoadU16BE(block.bytes.get() + 4);
  return std::string(block.bytes.get() + headerLength, block.bytes.get() + block.size);
}

BlockFields From(const char* sender) {
  BlockFields fields;
  fields.sender = sender;
  return fields;
}

}  // namespace

TEST(WireHeader, BuildsTheGoldenBlockAndParsesItBack) {
  const std::vector<uint8_t> golden = LoadGolden("header_multicast");
  std::vector<char> block = BuildBlock(BlockFields(), "0123456789");
  ASSERT_EQ(std::vector<uint8_t>(block.begin(), block.end()), golden);
  Parsed parsed(block);
  ASSERT_EQ(parsed.result, VEL_S_OK);
  EXPECT_EQ(parsed.header.GetMessageGroup(), "/");
  EXPECT_EQ(parsed.header.GetSendingPeerName(), "alice");
  EXPECT_STREQ(parsed.header.GetServiceName(), "StatusService");
  EXPECT_EQ(std::string(parsed.header.GetPayload(), parsed.header.GetPayloadLength()), "0123456789");
  EXPECT_EQ(parsed.header.GetMode(), 0x12);
  EXPECT_EQ(parsed.header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(parsed.bytes.data()), 99),
            VEL_E_FAIL);
  char* bytes = nullptr;
  int length = 0;
  EXPECT_EQ(parsed.header.GetBuffer(bytes, length), VEL_E_FAIL);  // parsed bytes are never the header's own

  // Bytes past totalLength are not the block's; a zero byte ends the group path; a cut block is refused
  // whole.
  BlockFields fields;
  fields.group = "/abc";
  block = BuildBlock(fields, "");
  block[90] = 0;
  block.insert(block.end(), 20, 'z');
  Parsed longer(block);
  ASSERT_EQ(longer.result, VEL_S_OK);
  EXPECT_EQ(longer.header.GetMessageGroup(), "/a");
  EXPECT_EQ(longer.header.GetPayloadLength(), 0);
  Parsed cut(block, 87);
  EXPECT_EQ(cut.result, VEL_E_FAIL);
  EXPECT_EQ(cut.header.GetFixedPart(), nullptr);
  EXPECT_EQ(cut.header.GetPayload(), nullptr);
}

TEST(WireHeader, BuildRefusesWhatDoesNotFitItsField) {
  const struct {
    const char* what;
    std::string service, sender, group;
    bool built;
  } cases[] = {
      {"31-byte service", std::string(31, 's'), "a", "/", true},
      {"32-byte service", std::string(32, 's'), "a", "/", false},
      {"32-byte sender", "S", std::string(32, 'p'), "/", false},
      {"longest group", "S", "a", std::string(65535 - 88, 'g'), true},
      {"group past the header length", "S", "a", std::string(65535 - 87, 'g'), false},
      {"empty group", "S", "a", "", true},
  };
  for (const auto& c : cases) {
    BlockFields fields;
    fields.service = c.service;
    fields.sender = c.sender;
    fields.group = c.group;
    std::vector<char> block = BuildBlock(fields, "p");
    ASSERT_EQ(!block.empty(), c.built) << c.what;
    if (c.built) {
      EXPECT_EQ(VELP2PLoadU16BE(block.data() + 4), 88 + c.group.size()) << c.what;
    }
  }
  VELP2PHeader header;
  char data[1] = {'x'};
  VELUnicodeString group("/");
  EXPECT_EQ(VEL_E_FAIL, header.Build(group, "S", "a", 0, 0, 0, 0, data, 0x7FFFFFF0, 1));  // total overflows
  EXPECT_EQ(VEL_E_FAIL, header.Build(group, "S", "a", 0, 0, 0, 0, data, 1, 2));
  ASSERT_EQ(VEL_S_OK, header.Build(group, "S", "a", 0, 0, 0, 0, data, 1, 1));
  EXPECT_EQ(VEL_E_FAIL, header.Build(group, "S", "a", 0, 0, 0, 0, data, 1, 1));
}

// By TCP the sender's unicast endpoint is the sending one; by multicast the one advertised in the other
// fields.
TEST(WireMessage, ReadsPayloadAndSendingEndPoint) {
  BlockFields byTcp;
  byTcp.mode = 0;
  Parsed unicast(BuildBlock(byTcp, "payload!"));
  Parsed multicast(BuildBlock(BlockFields(), "m"));
  VELP2PMessage fromPeer(unicast.header), fromGroup(multicast.header);
  int length = -1;
  ASSERT_EQ(VEL_S_OK, fromPeer.GetBufferLenght(length));
  std::vector<char> destination(12, '#');
  ASSERT_EQ(VEL_S_OK, fromPeer.GetBuffer(destination.data()));
  EXPECT_EQ(std::string(destination.data(), 12), "payload!####");
  EXPECT_EQ(VEL_E_FAIL, fromPeer.GetBuffer(destination.data(), 7));
  EXPECT_EQ(fromPeer.IsUnicast() * 10 + fromPeer.IsMulticast(), 10);
  EXPECT_EQ(fromGroup.IsUnicast() * 10 + fromGroup.IsMulticast(), 1);
  const struct {
    VELP2PMessage* message;
    int mask;
    uint32_t address;
    uint16_t port;
  } cases[] = {{&fromPeer, VELP2P_MESSAGE_UNICAST, RawAddress(85, 1, 0, 224), RawPort(0x0A, 0x76)},
               {&fromGroup, VELP2P_MESSAGE_UNICAST, RawAddress(10, 0, 0, 7), RawPort(0x9C, 0x40)},
               {&fromGroup, VELP2P_MESSAGE_MULTICAST, RawAddress(85, 1, 0, 224), RawPort(0x0A, 0x76)}};
  for (const auto& c : cases) {
    VELP2PEndPointInfo info{8, VELP2P_ENDPOINT_UNICAST, 0, 0};
    ASSERT_EQ(VEL_S_OK, c.message->GetSendingPeerEPInfo(info, c.mask));
    EXPECT_EQ(info.address, c.address);
    EXPECT_EQ(info.port, c.port);
  }

  // The streamer outlives the message it came from, the way services use it.
  void* object = nullptr;
  ASSERT_EQ(VEL_S_OK, VELCreateClassInstance("VELP2PMessage", nullptr, 0, IID_VELIP2PMessage, &object));
  VELIP2PMessage* created = static_cast<VELIP2PMessage*>(object);
  void* streamer = nullptr;
  ASSERT_EQ(VEL_S_OK, created->QueryInterface(IID_VELIBBStreamer, &streamer));
  created->Release();
  static_cast<VELIBBStreamer*>(streamer)->Release();
}

TEST(WireByteReader, FailedReadsLeaveTheCursorInPlace) {
  const uint8_t bytes[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  VELByteReader reader(bytes, sizeof(bytes));
  uint32_t u32 = 0;
  uint16_t u16 = 0;
  ASSERT_TRUE(reader.ReadU32LE(u32));
  EXPECT_EQ(u32, 0x78563412u);
  EXPECT_FALSE(reader.ReadU32BE(u32));
  const uint8_t* at = nullptr;
  EXPECT_FALSE(reader.ReadBytes(static_cast<size_t>(-1), at));  // a count that would wrap an end pointer
  ASSERT_TRUE(reader.ReadU16BE(u16));
  EXPECT_EQ(u16, 0x9ABC);
}

// The first carries MsgGrpId at 80 and the announced total at 84 in place of both ports; a middle one
// MsgGrpId at 80; the last MsgGrpId at 76. Nothing else but the mode changes.
TEST(Fragmenter, MarksFirstMiddleAndLastAndRefusesWhatItCannotMark) {
  const std::vector<char> whole = BuildBlock(BlockFields(), "piece");
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
    EXPECT_EQ(0, std::memcmp(block.data(), whole.data(), 7));
  }
  std::vector<char> block = whole;
  EXPECT_EQ(VEL_E_FAIL, VELP2PMarkFragment(block.data(), 87, VELP2P_MESSAGE_GROUP_BEGIN, 1, 1001));
  EXPECT_EQ(VEL_E_FAIL, VELP2PMarkFragment(block.data(), 94, VELP2P_MESSAGE_SINGLE, 1, 1001));
  EXPECT_EQ(VEL_E_FAIL, VELP2PMarkFragment(block.data(), 94, 0x60, 1, 1001));
  EXPECT_EQ(block, whole);
}

// The header is the first fragment's but for the total length, which counts the whole payload, and for
// otherAddress and the ports, which the last fragment gives: the unicast endpoint a reply goes to.
TEST(Reassembly, PutsSplitPayloadsBackTogetherPerSender) {
  BlockFields lastSpec;
  lastSpec.otherAddress = RawAddress(192, 168, 3, 4);
  lastSpec.senderPort = RawPort(0x11, 0x22);
  lastSpec.otherPort = RawPort(0x33, 0x44);
  const unsigned char tail[12] = {85, 1, 0, 224, 192, 168, 3, 4, 0x11, 0x22, 0x33, 0x44};
  VELP2PReassembler reassembler;
  for (int length : {1001, 4321}) {
    std::string payload = PatternPayload(length, length);
    Blocks blocks = SplitBlocks(BlockFields(), payload, 42);
    blocks.back() = SplitBlocks(lastSpec, payload, 42).back();
    // bob's group under the same identifier travels interleaved with alice's.
    Blocks bob = SplitBlocks(From("bob"), PatternPayload(length, 9), 42);
    VELP2PReassembler::Outcome outcome, bobOutcome;
    for (size_t i = 0; i < blocks.size(); ++i) {
      outcome = Take(reassembler, blocks[i]);
      bobOutcome = Take(reassembler, bob[i]);
      ASSERT_FALSE(outcome.dropped || bobOutcome.dropped);
      ASSERT_EQ(static_cast<bool>(outcome.completed), i + 1 == blocks.size());
    }
    const VELP2PBlock& block = outcome.completed;
    ASSERT_EQ(block.size, length + 89);
    EXPECT_EQ(VELP2PLoadU32BE(block.bytes.get()), static_cast<uint32_t>(length + 89));
    EXPECT_EQ(0, std::memcmp(block.bytes.get() + 4, blocks[0].data() + 4, 72));
    EXPECT_EQ(0, std::memcmp(block.bytes.get() + 76, tail, 12));
    EXPECT_EQ(PayloadOf(block), payload);
    EXPECT_EQ(PayloadOf(bobOutcome.completed), PatternPayload(length, 9));
  }
  EXPECT_EQ(reassembler.GetGroupCount(), 0);
  EXPECT_EQ(reassembler.GetHeldBytes(), 0u);
  EXPECT_EQ(reassembler.GetDrops().Total(), 0u);
}

// Each case spoils a 1200-byte group (fragments of 589, 589 and 289 bytes) and feeds its fragments in the
// given order; the spoiled one is dropped for the reason, and the group is left in progress or not.
TEST(Reassembly, DropsFragmentsByReason) {
  const struct {
    const char* what;
    // Where value spoils the group: a 32-bit length at 0 and 84, a byte elsewhere; fragment -1 spoils none.
    int fragment, at;
    uint32_t value;
    std::vector<int> order;
    VELP2PDrop reason;
    int groupsLeft;
  } cases[] = {
      {"middle before its first", -1, 0, 0, {1}, VELP2PDrop::NoGroup, 0},
      {"last after a lost middle", -1, 0, 0, {0, 2}, VELP2PDrop::Incomplete, 0},
      {"second first under the identifier", -1, 0, 0, {0, 0}, VELP2PDrop::DuplicateGroup, 1},
      {"middle by another transport", 1, 7, 0x48, {0, 1}, VELP2PDrop::Mismatch, 1},
      {"middle for another service", 1, 12, 'X', {0, 1}, VELP2PDrop::Mismatch, 1},
      {"total of zero", 0, 84, 0, {0}, VELP2PDrop::BadTotal, 0},
      {"negative total", 0, 84, 0xFFFFFFFB, {0}, VELP2PDrop::BadTotal, 0},
      {"total over the limit", 0, 84, 4 * 1024 * 1024 + 1, {0}, VELP2PDrop::BadTotal, 0},
      {"first larger than its total", 0, 84, 400, {0}, VELP2PDrop::Overflow, 0},
      {"middle past the total", 0, 84, 600, {0, 1}, VELP2PDrop::Overflow, 0},
      {"last past the total", 0, 84, 1000, {0, 1, 2}, VELP2PDrop::Overflow, 0},
      {"middle lying about its length", 1, 0, 100000, {0, 1}, VELP2PDrop::Malformed, 1},
      {"whole message", 0, 7, 0x12, {0}, VELP2PDrop::BadMode, 0},
  };
  for (const auto& c : cases) {
    VELP2PReassembler reassembler;
    Blocks blocks = SplitBlocks(BlockFields(), PatternPayload(1200), 5);
    if (c.fragment >= 0 && (c.at == 0 || c.at == 84))
      VELP2PStoreU32BE(blocks[c.fragment].data() + c.at, c.value);
    else if (c.fragment >= 0)
      blocks[c.fragment][c.at] = static_cast<char>(c.value);
    VELP2PReassembler::Outcome outcome;
    for (int i : c.order)
      outcome = Take(reassembler, blocks[i]);
    EXPECT_TRUE(outcome.dropped) << c.what;
    EXPECT_EQ(outcome.reason, c.reason) << c.what;
    EXPECT_EQ(reassembler.GetDrops().Get(c.reason), 1u) << c.what;
    EXPECT_EQ(reassembler.GetDrops().Total(), 1u) << c.what;
    EXPECT_EQ(reassembler.GetGroupCount(), c.groupsLeft) << c.what;
  }
  // The largest total allowed is taken.
  VELP2PReassembler reassembler;
  std::vector<char> first = SplitBlocks(BlockFields(), PatternPayload(1200), 3)[0];
  VELP2PStoreU32BE(first.data() + 84, 4 * 1024 * 1024);
  EXPECT_FALSE(Take(reassembler, first).dropped);
}

// Room for a new group is made by dropping the oldest: of the same sender at its own limit, of any sender at
// the limits over all; a message that could never fit is refused before anything is dropped.
TEST(Reassembly, EvictsTheOldestGroupAtEachLimit) {
  const char* senders[] = {"alice", "bob", "carol", "dave"};
  const struct {
    int perSender, groups;
    size_t bytes;
    std::vector<int> starts;  // sender of each first fragment, each under its own identifier
    const char* evicted;
    uint32_t evictedId;
  } cases[] = {
      {2, 256, 1 << 24, {0, 0, 0, 1}, "alice", 0},
      {8, 3, 1 << 24, {0, 1, 2, 3}, "alice", 0},
      {8, 256, 3000, {0, 1, 2}, "alice", 0},  // each group holds 1289 bytes
  };
  for (const auto& c : cases) {
    VELP2PReassembler::Limits limits = VELP2PReassembler::DefaultLimits();
    limits.maxGroupsPerSender = c.perSender;
    limits.maxGroups = c.groups;
    limits.maxBytes = c.bytes;
    VELP2PReassembler reassembler(limits);
    for (size_t i = 0; i < c.starts.size(); ++i)
      ASSERT_FALSE(
          Take(reassembler, SplitBlocks(From(senders[c.starts[i]]), PatternPayload(1200), i)[0]).dropped);
    EXPECT_FALSE(reassembler.HasGroup(c.evicted, c.evictedId));
    EXPECT_TRUE(reassembler.HasGroup(senders[c.starts.back()], static_cast<uint32_t>(c.starts.size() - 1)));
    EXPECT_EQ(reassembler.GetDrops().Get(VELP2PDrop::Evicted), 1u);
    EXPECT_LE(reassembler.GetHeldBytes(), c.bytes);
  }
  VELP2PReassembler::Limits limits = VELP2PReassembler::DefaultLimits();
  limits.maxBytes = 3000;
  VELP2PReassembler reassembler(limits);
  ASSERT_FALSE(Take(reassembler, SplitBlocks(BlockFields(), PatternPayload(1200), 1)[0]).dropped);
  std::vector<char> huge = SplitBlocks(From("erin"), PatternPayload(1200), 9)[0];
  VELP2PStoreU32BE(huge.data() + 84, 2950);
  EXPECT_EQ(Take(reassembler, huge).reason, VELP2PDrop::BadTotal);
  EXPECT_EQ(reassembler.GetGroupCount(), 1);
}
