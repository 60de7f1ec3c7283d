// The wire header: bytes as built, limits refused when building, and every malformed block refused when
// parsing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/FakeEndPoints.h"
#include "support/PeerTestAccess.h"
#include "support/TraceCapture.h"
#include "unit/WireTestSupport.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PTypes.h"
#include "wire/VELByteOrder.h"
#include "wire/VELByteReader.h"

using wiretest::BlockSpec;
using wiretest::BuildBlock;
using wiretest::RawAddress;
using wiretest::RawPort;

namespace {

// A multicast message from "alice" to the group "/" for "StatusService", carrying 10 payload bytes; alice's
// multicast endpoint is 224.0.1.85:2678, her TCP endpoint 10.0.0.7:40000.
const unsigned char kGoldenMulticast[99] = {
    0x00, 0x00, 0x00, 0x63,  // totalLength 99
    0x00, 0x59,              // headerLength 89
    0x01,                    // version
    0x12,                    // mode: whole message, multicast
    0x00, 0x58,              // groupOffset 88
    0x00, 0x01,              // groupLength 1
    // serviceName "StatusService", zero-padded to 32 bytes
    'S', 't', 'a', 't', 'u', 's', 'S', 'e', 'r', 'v', 'i', 'c', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0,
    // senderName "alice", zero-padded to 32 bytes
    'a', 'l', 'i', 'c', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    85, 1, 0, 224,  // senderAddress: the multicast record's reversed address bytes, unchanged
    10, 0, 0, 7,    // otherAddress: the TCP record's address bytes, unchanged
    0x0A, 0x76,     // senderPort 2678
    0x9C, 0x40,     // otherPort 40000
    '/',            // group path
    '0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};  // payload

// A parsing header over its own copy of a block, sized exactly as received so that a stray read shows
// under the sanitizers.
struct Parsed {
  std::vector<char> bytes;
  VELP2PHeader header;
  VELResult result = VEL_E_FAIL;

  Parsed(const std::vector<char>& block, int received) : bytes(block.begin(), block.begin() + received) {
    result = header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(bytes.data()), received);
  }
  explicit Parsed(const std::vector<char>& block) : Parsed(block, static_cast<int>(block.size())) {}
};

void Put16(std::vector<char>& block, size_t offset, uint16_t value) {
  VELP2PStoreU16BE(block.data() + offset, value);
}
void Put32(std::vector<char>& block, size_t offset, uint32_t value) {
  VELP2PStoreU32BE(block.data() + offset, value);
}

}  // namespace

TEST(WireHeader, BuildsTheGoldenMulticastBlock) {
  std::vector<char> block = BuildBlock(BlockSpec(), "0123456789");
  ASSERT_EQ(block.size(), sizeof(kGoldenMulticast));
  EXPECT_EQ(0, std::memcmp(block.data(), kGoldenMulticast, sizeof(kGoldenMulticast)));
  const unsigned char firstTwelve[12] = {0x00, 0x00, 0x00, 0x63, 0x00, 0x59,
                                         0x01, 0x12, 0x00, 0x58, 0x00, 0x01};
  EXPECT_EQ(0, std::memcmp(block.data(), firstTwelve, 12));
}

TEST(WireHeader, EmptyGroupGivesHeaderLength88AndParsesBackEmpty) {
  BlockSpec layout;
  layout.group = "";
  std::vector<char> block = BuildBlock(layout, "ab");
  ASSERT_EQ(block.size(), 90u);
  EXPECT_EQ(VELP2PLoadU16BE(block.data() + 4), 88);
  EXPECT_EQ(VELP2PLoadU16BE(block.data() + 10), 0);
  Parsed parsed(block);
  ASSERT_EQ(parsed.result, VEL_S_OK);
  EXPECT_TRUE(parsed.header.GetMessageGroup().IsEmpty());
  EXPECT_EQ(parsed.header.GetPayloadLength(), 2);
}

TEST(WireHeader, ServiceNameOf31BytesFillsItsFieldAndLongerNamesAreRefused) {
  BlockSpec layout;
  layout.service = std::string(31, 's');
  std::vector<char> block = BuildBlock(layout, "");
  ASSERT_FALSE(block.empty());
  EXPECT_EQ(std::string(block.data() + 12, 31), layout.service);
  EXPECT_EQ(block[43], 0);

  layout.service = std::string(32, 's');
  EXPECT_TRUE(BuildBlock(layout, "").empty());
  layout.service = "StatusService";
  layout.sender = std::string(32, 'p');
  EXPECT_TRUE(BuildBlock(layout, "").empty());
  layout.sender = std::string(31, 'p');
  EXPECT_FALSE(BuildBlock(layout, "").empty());
}

TEST(WireHeader, RefusesGroupPathBeyondTheSixteenBitHeaderLength) {
  BlockSpec layout;
  layout.group = std::string(65535 - 88, 'g');
  std::vector<char> block = BuildBlock(layout, "p");
  ASSERT_FALSE(block.empty());
  EXPECT_EQ(VELP2PLoadU16BE(block.data() + 4), 65535);
  layout.group.push_back('g');
  EXPECT_TRUE(BuildBlock(layout, "p").empty());
}

TEST(WireHeader, RefusesBadBuildArgumentsWithoutChangingAnything) {
  VELP2PHeader header;
  char data[1] = {0};
  VELUnicodeString group("/");
  EXPECT_EQ(VEL_E_FAIL, header.Build(group, nullptr, "a", 0, 0, 0, 0, data, 1, 1));
  EXPECT_EQ(VEL_E_FAIL, header.Build(group, "S", nullptr, 0, 0, 0, 0, data, 1, 1));
  EXPECT_EQ(VEL_E_FAIL, header.Build(group, "S", "a", 0, 0, 0, 0, nullptr, 0, 1));
  EXPECT_EQ(VEL_E_FAIL, header.Build(group, "S", "a", 0, 0, 0, 0, data, -1, 1));
  EXPECT_EQ(VEL_E_FAIL, header.Build(group, "S", "a", 0, 0, 0, 0, data, 0x7FFFFFF0, 1));  // total overflows
  EXPECT_EQ(VEL_E_FAIL, header.Build(group, "S", "a", 0, 0, 0, 0, data, 1, 2));
  char* bytes = nullptr;
  int length = -1;
  EXPECT_EQ(VEL_E_FAIL, header.GetBuffer(bytes, length));
  EXPECT_EQ(header.GetFixedPart(), nullptr);
  EXPECT_EQ(length, -1);
}

TEST(WireHeader, BuildingOrParsingTwiceFails) {
  VELP2PHeader built;
  char data[1] = {'x'};
  ASSERT_EQ(VEL_S_OK, built.Build(VELUnicodeString("/"), "S", "a", 0, 0, 0, 0, data, 1, 1));
  EXPECT_EQ(VEL_E_FAIL, built.Build(VELUnicodeString("/"), "S", "a", 0, 0, 0, 0, data, 1, 1));
  char* bytes = nullptr;
  int length = 0;
  ASSERT_EQ(VEL_S_OK, built.GetBuffer(bytes, length));
  std::vector<char> copy(bytes, bytes + length);
  EXPECT_EQ(VEL_E_FAIL, built.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(copy.data()), length));

  Parsed parsed(copy);
  ASSERT_EQ(parsed.result, VEL_S_OK);
  EXPECT_EQ(VEL_E_FAIL,
            parsed.header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(parsed.bytes.data()), length));
  EXPECT_EQ(VEL_E_FAIL, parsed.header.Build(VELUnicodeString("/"), "S", "a", 0, 0, 0, 0, data, 1, 1));
  EXPECT_EQ(VEL_E_FAIL, parsed.header.GetBuffer(bytes, length));  // parsed bytes are never the header's own
}

TEST(WireHeader, ParsesBackWhatWasBuilt) {
  BlockSpec layout;
  layout.group = "/P2PRoot/Sales";
  std::string payload = wiretest::PatternPayload(300);
  Parsed parsed(BuildBlock(layout, payload));
  ASSERT_EQ(parsed.result, VEL_S_OK);
  EXPECT_EQ(parsed.header.GetMessageGroup(), "/P2PRoot/Sales");
  EXPECT_EQ(parsed.header.GetSendingPeerName(), "alice");
  EXPECT_STREQ(parsed.header.GetServiceName(), "StatusService");
  ASSERT_EQ(parsed.header.GetPayloadLength(), 300);
  EXPECT_EQ(std::string(parsed.header.GetPayload(), 300), payload);
  EXPECT_EQ(parsed.header.GetMode(), 0x12);
}

// Empty payload, bytes received past totalLength, and version and mode values that only the caller judges.
TEST(WireHeader, AcceptsWellFormedEdgeBlocks) {
  Parsed empty(BuildBlock(BlockSpec(), ""));
  ASSERT_EQ(empty.result, VEL_S_OK);
  EXPECT_EQ(empty.header.GetPayloadLength(), 0);

  std::vector<char> block = BuildBlock(BlockSpec(), "abc");
  block.insert(block.end(), 20, 'z');
  block[6] = 0;
  block[7] = static_cast<char>(0xFF);
  Parsed longer(block);
  ASSERT_EQ(longer.result, VEL_S_OK);
  EXPECT_EQ(longer.header.GetPayloadLength(), 3);
  EXPECT_EQ(longer.header.GetVersion(), 0);
  EXPECT_EQ(longer.header.GetMode(), 0xFF);
}

TEST(WireHeader, CutsTheGroupPathAtAZeroByte) {
  BlockSpec layout;
  layout.group = "/abc";
  std::vector<char> block = BuildBlock(layout, "");
  block[90] = 0;
  Parsed parsed(block);
  ASSERT_EQ(parsed.result, VEL_S_OK);
  EXPECT_EQ(parsed.header.GetMessageGroup(), "/a");
}

// Each case spoils one field of a valid 100-byte block ("/" group, 11-byte payload) or the received count.
TEST(WireHeader, RefusesEveryLengthOrOffsetOutsideTheReceivedBytes) {
  const std::vector<char> valid = BuildBlock(BlockSpec(), "hello world");
  ASSERT_EQ(valid.size(), 100u);
  struct Case {
    const char* what;
    void (*spoil)(std::vector<char>&);
    int received;  // -1: the whole block
  };
  const Case cases[] = {
      {"fewer bytes than the fixed part", [](std::vector<char>&) {}, 87},
      {"totalLength beyond the received bytes", [](std::vector<char>&) {}, 99},
      {"totalLength far beyond", [](std::vector<char>& b) { Put32(b, 0, 0xFFFFFFFF); }, -1},
      {"totalLength below headerLength", [](std::vector<char>& b) { Put32(b, 0, 88); }, -1},
      {"headerLength below the fixed part", [](std::vector<char>& b) { Put16(b, 4, 87); }, -1},
      {"headerLength beyond totalLength", [](std::vector<char>& b) { Put16(b, 4, 101); }, -1},
      {"groupOffset zero", [](std::vector<char>& b) { Put16(b, 8, 0); }, -1},
      {"groupOffset inside the fixed part", [](std::vector<char>& b) { Put16(b, 8, 87); }, -1},
      {"group path running into the payload", [](std::vector<char>& b) { Put16(b, 10, 2); }, -1},
      {"group path starting past the header", [](std::vector<char>& b) { Put16(b, 8, 90); }, -1},
      {"group length far beyond", [](std::vector<char>& b) { Put16(b, 10, 0xFFFF); }, -1},
      {"sender name without terminator", [](std::vector<char>& b) { std::memset(b.data() + 44, 'n', 32); },
       -1},
      {"service name without terminator", [](std::vector<char>& b) { std::memset(b.data() + 12, 's', 32); },
       -1},
  };
  for (const Case& c : cases) {
    std::vector<char> block = valid;
    c.spoil(block);
    Parsed parsed(block, c.received < 0 ? static_cast<int>(block.size()) : c.received);
    EXPECT_EQ(parsed.result, VEL_E_FAIL) << c.what;
    EXPECT_EQ(parsed.header.GetFixedPart(), nullptr) << c.what;
    EXPECT_EQ(parsed.header.GetPayload(), nullptr) << c.what;
  }
  Parsed ok(valid);
  EXPECT_EQ(ok.result, VEL_S_OK);
  VELP2PHeader header;
  EXPECT_EQ(VEL_E_FAIL, header.Initialize(nullptr, 100));
  std::vector<char> block = valid;
  EXPECT_EQ(VEL_E_FAIL, header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(block.data()), -1));
}

TEST(WireHeader, TracesConstructionAndDestruction) {
  TraceCapture trace;
  { VELP2PHeader header; }
  EXPECT_EQ(trace.Lines(),
            (std::vector<std::string>{"VELP2PHeader - Constructor", "VELP2PHeader - Destructor"}));
}

// Building from the local peer: its name and its first endpoint of the other kind travel in the header.
class WireHeaderFromPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2PPeerTestAccess::Reset();
    _peer = VELP2PPeer::GetLocalPeer();
    ASSERT_NE(_peer, nullptr);
    VELP2PPeerTestAccess::SetPeerName(_peer, "alice");
  }
  void TearDown() override { VELP2PPeerTestAccess::Reset(); }

  void AddEndPoint(const char* className, const char* address, int port) {
    VELP2PEndPoint* endPoint = VELP2PPeerTestAccess::RegisterEndPoint(_peer, className);
    ASSERT_NE(endPoint, nullptr);
    ASSERT_EQ(VEL_S_OK, endPoint->Initialize(address, port));
  }

  std::vector<char> BuildFromPeer(int mode) {
    VELP2PHeader header;
    VELUnicodeString group("/");
    char payload[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    if (VEL_FAILED(header.Initialize(group, "StatusService", RawAddress(85, 1, 0, 224), RawPort(0x0A, 0x76),
                                     payload, 10, mode))) {
      return {};
    }
    char* bytes = nullptr;
    int length = 0;
    EXPECT_EQ(VEL_S_OK, header.GetBuffer(bytes, length));
    return std::vector<char>(bytes, bytes + length);
  }

  ScopedFakeEndPoints _fakes;
  VELP2PPeer* _peer = nullptr;
};

TEST_F(WireHeaderFromPeer, MulticastCarriesTheFirstUnicastEndPoint) {
  AddEndPoint("VELP2PTCPEndPoint", "10.0.0.7", 40000);
  AddEndPoint("VELP2PTCPEndPoint", "10.0.0.8", 40001);
  std::vector<char> block = BuildFromPeer(1);
  ASSERT_EQ(block.size(), sizeof(kGoldenMulticast));
  EXPECT_EQ(0, std::memcmp(block.data(), kGoldenMulticast, sizeof(kGoldenMulticast)));
}

TEST_F(WireHeaderFromPeer, UnicastWithoutMulticastEndPointCarriesZeros) {
  AddEndPoint("VELP2PTCPEndPoint", "10.0.0.7", 40000);
  std::vector<char> block = BuildFromPeer(0);
  ASSERT_EQ(block.size(), 99u);
  EXPECT_EQ(static_cast<unsigned char>(block[7]), 0x0A);
  const char zeros[4] = {0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(block.data() + 80, zeros, 4));
  EXPECT_EQ(0, std::memcmp(block.data() + 86, zeros, 2));
  EXPECT_EQ(std::string(block.data() + 44), "alice");
}

TEST_F(WireHeaderFromPeer, UnicastCarriesTheFirstMulticastEndPoint) {
  AddEndPoint("VELP2PMultiCastEndPoint", "224.0.1.85", 2678);
  std::vector<char> block = BuildFromPeer(0);
  ASSERT_EQ(block.size(), 99u);
  const unsigned char other[4] = {85, 1, 0, 224};
  EXPECT_EQ(0, std::memcmp(block.data() + 80, other, 4));
  EXPECT_EQ(VELP2PLoadU16BE(block.data() + 86), 2678);
}

TEST_F(WireHeaderFromPeer, RefusesAPeerNameThatDoesNotFitItsField) {
  VELP2PPeerTestAccess::SetPeerName(_peer, std::string(31, 'n').c_str());
  EXPECT_FALSE(BuildFromPeer(1).empty());
  VELP2PPeerTestAccess::SetPeerName(_peer, std::string(32, 'n').c_str());
  EXPECT_TRUE(BuildFromPeer(1).empty());
}

TEST(WireByteReader, FailedReadsLeaveTheCursorInPlace) {
  const uint8_t bytes[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  VELByteReader reader(bytes, sizeof(bytes));
  uint32_t u32 = 0;
  uint16_t u16 = 0;
  ASSERT_TRUE(reader.ReadU32BE(u32));
  EXPECT_EQ(u32, 0x12345678u);
  EXPECT_FALSE(reader.ReadU32LE(u32));
  EXPECT_EQ(reader.Offset(), 4u);
  ASSERT_TRUE(reader.ReadU16BE(u16));
  EXPECT_EQ(u16, 0x9ABC);
  uint8_t u8 = 0;
  EXPECT_FALSE(reader.ReadU8(u8));

  VELByteReader again(bytes, sizeof(bytes));
  ASSERT_TRUE(again.ReadU32LE(u32));
  EXPECT_EQ(u32, 0x78563412u);
  const uint8_t* at = nullptr;
  EXPECT_FALSE(again.ReadBytes(static_cast<size_t>(-1), at));  // a count that would wrap an end pointer
  EXPECT_FALSE(again.Skip(3));
  EXPECT_FALSE(again.Seek(7));
  EXPECT_TRUE(again.Seek(6));
  EXPECT_EQ(again.Remaining(), 0u);
}
