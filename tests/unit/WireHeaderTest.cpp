// The wire header: bytes as built, limits refused when building, and every malformed block refused when
// parsing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/FakeEndPoints.h"
#include "support/PeerTestAccess.h"
#include "unit/WireTestSupport.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELByteOrder.h"
#include "wire/VELByteReader.h"

using wiretest::BlockSpec;
using wiretest::BuildBlock;
using wiretest::kGoldenMulticast;

namespace {

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

TEST(WireHeader, RefusesNamesAndGroupPathsThatDoNotFitTheirFields) {
  BlockSpec layout;
  layout.service = std::string(31, 's');
  std::vector<char> block = BuildBlock(layout, "");
  ASSERT_FALSE(block.empty());
  EXPECT_EQ(std::string(block.data() + 12, 31), layout.service);
  EXPECT_EQ(block[43], 0);
  layout.service = std::string(32, 's');
  EXPECT_TRUE(BuildBlock(layout, "").empty());

  layout = BlockSpec();
  layout.sender = std::string(32, 'p');
  EXPECT_TRUE(BuildBlock(layout, "").empty());

  // The group path is bounded by the sixteen-bit header length.
  layout = BlockSpec();
  layout.group = std::string(65535 - 88, 'g');
  block = BuildBlock(layout, "p");
  ASSERT_FALSE(block.empty());
  EXPECT_EQ(VELP2PLoadU16BE(block.data() + 4), 65535);
  layout.group.push_back('g');
  EXPECT_TRUE(BuildBlock(layout, "p").empty());
}

TEST(WireHeader, RefusesBadArgumentsAndASecondBuildOrParse) {
  VELP2PHeader header;
  char data[1] = {'x'};
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

  ASSERT_EQ(VEL_S_OK, header.Build(group, "S", "a", 0, 0, 0, 0, data, 1, 1));
  EXPECT_EQ(VEL_E_FAIL, header.Build(group, "S", "a", 0, 0, 0, 0, data, 1, 1));
  ASSERT_EQ(VEL_S_OK, header.GetBuffer(bytes, length));
  std::vector<char> block(bytes, bytes + length);
  Parsed parsed(block);
  ASSERT_EQ(parsed.result, VEL_S_OK);
  EXPECT_EQ(VEL_E_FAIL,
            parsed.header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(parsed.bytes.data()), length));
  EXPECT_EQ(VEL_E_FAIL, parsed.header.GetBuffer(bytes, length));  // parsed bytes are never the header's own

  // A refused parse leaves nothing to read.
  Parsed cut(block, 87);
  EXPECT_EQ(cut.result, VEL_E_FAIL);
  EXPECT_EQ(cut.header.GetFixedPart(), nullptr);
  EXPECT_EQ(cut.header.GetPayload(), nullptr);
  VELP2PHeader unparsed;
  EXPECT_EQ(VEL_E_FAIL, unparsed.Initialize(nullptr, 100));
  EXPECT_EQ(VEL_E_FAIL, unparsed.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(block.data()), -1));
}

TEST(WireHeader, ParsesBackWhatWasBuiltAndWellFormedEdgeBlocks) {
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

  // Bytes received past totalLength, and version and mode values that only the caller judges.
  std::vector<char> block = BuildBlock(BlockSpec(), "");
  block.insert(block.end(), 20, 'z');
  block[6] = 0;
  block[7] = static_cast<char>(0xFF);
  Parsed longer(block);
  ASSERT_EQ(longer.result, VEL_S_OK);
  EXPECT_EQ(longer.header.GetPayloadLength(), 0);
  EXPECT_EQ(longer.header.GetVersion(), 0);
  EXPECT_EQ(longer.header.GetMode(), 0xFF);

  // A zero byte inside the group path ends it.
  layout.group = "/abc";
  block = BuildBlock(layout, "");
  block[90] = 0;
  Parsed cut(block);
  ASSERT_EQ(cut.result, VEL_S_OK);
  EXPECT_EQ(cut.header.GetMessageGroup(), "/a");
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
    char payload[] = "0123456789";
    if (VEL_FAILED(header.Initialize(group, "StatusService", wiretest::RawAddress(85, 1, 0, 224),
                                     wiretest::RawPort(0x0A, 0x76), payload, 10, mode))) {
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

TEST_F(WireHeaderFromPeer, CarriesThePeerNameAndTheFirstEndPointOfTheOtherKind) {
  AddEndPoint("VELP2PTCPEndPoint", "10.0.0.7", 40000);
  AddEndPoint("VELP2PTCPEndPoint", "10.0.0.8", 40001);
  std::vector<char> block = BuildFromPeer(0);  // no multicast endpoint: zeros
  ASSERT_EQ(block.size(), 99u);
  EXPECT_EQ(static_cast<unsigned char>(block[7]), 0x0A);
  EXPECT_EQ(std::vector<char>(block.begin() + 80, block.begin() + 88),
            (std::vector<char>{0, 0, 0, 0, 0x0A, 0x76, 0, 0}));

  AddEndPoint("VELP2PMultiCastEndPoint", "224.0.1.85", 2678);
  AddEndPoint("VELP2PMultiCastEndPoint", "224.0.1.86", 2679);
  block = BuildFromPeer(1);
  ASSERT_EQ(block.size(), sizeof(kGoldenMulticast));
  EXPECT_EQ(0, std::memcmp(block.data(), kGoldenMulticast, sizeof(kGoldenMulticast)));
  block = BuildFromPeer(0);
  EXPECT_EQ(std::vector<char>(block.begin() + 80, block.begin() + 88),
            (std::vector<char>{85, 1, 0, static_cast<char>(224), 0x0A, 0x76, 0x0A, 0x76}));

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
  ASSERT_TRUE(reader.ReadU32LE(u32));
  EXPECT_EQ(u32, 0x78563412u);
  EXPECT_FALSE(reader.ReadU32BE(u32));
  const uint8_t* at = nullptr;
  EXPECT_FALSE(reader.ReadBytes(static_cast<size_t>(-1), at));  // a count that would wrap an end pointer
  EXPECT_FALSE(reader.Seek(7));
  ASSERT_TRUE(reader.ReadU16BE(u16));
  EXPECT_EQ(u16, 0x9ABC);
  EXPECT_EQ(reader.Remaining(), 0u);
}
