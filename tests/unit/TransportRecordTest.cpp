// The endpoint records and the dotted addresses they are made from, computed without any socket.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "unit/TransportTestSupport.h"

namespace {

using transporttest::RecordBytes;

TEST(TransportRecord, MulticastReversesTheAddressAndUnicastKeepsNetworkOrder) {
  VELP2PEndPointInfo record;
  ASSERT_EQ(VELP2PMakeReversedRecord("224.0.1.85", 2678, VELP2P_ENDPOINT_MULTICAST, record), VEL_S_OK);
  // 08 length | 02 multicast | 0A 76 port 2678 | 55 01 00 E0 = 224.0.1.85 reversed
  EXPECT_EQ(RecordBytes(record), (std::vector<uint8_t>{0x08, 0x02, 0x0A, 0x76, 0x55, 0x01, 0x00, 0xE0}));
  ASSERT_EQ(VELP2PMakeUnicastRecord("192.168.0.7", 5000, record), VEL_S_OK);
  // 08 length | 01 unicast | 13 88 port 5000 | C0 A8 00 07 = 192.168.0.7
  EXPECT_EQ(RecordBytes(record), (std::vector<uint8_t>{0x08, 0x01, 0x13, 0x88, 0xC0, 0xA8, 0x00, 0x07}));
  EXPECT_EQ(VELP2PRecordPort(record), 5000);
}

TEST(TransportRecord, RefusesWhatIsNotADottedAddressOrAPortAndLeavesTheRecordAlone) {
  const char* const unreadable[] = {"",         "1.2.3",      "1.2.3.4.5", "256.1.1.1",
                                    "01.2.3.4", "a.b.c.d",    "1.2.3.4 ",  " 1.2.3.4",
                                    "1..2.3",   "1.2.3.1000", "1.2.3.-4",  "255.255.255.255"};
  VELP2PEndPointInfo record = {};
  for (const char* text : unreadable)
    EXPECT_EQ(VELP2PMakeUnicastRecord(text, 1, record), VEL_E_FAIL) << "<" << text << ">";
  EXPECT_EQ(VELP2PMakeUnicastRecord(nullptr, 1, record), VEL_E_FAIL);
  EXPECT_EQ(VELP2PMakeUnicastRecord("10.0.0.1", -1, record), VEL_E_FAIL);
  EXPECT_EQ(VELP2PMakeReversedRecord("224.0.1.85", 65536, 2, record), VEL_E_FAIL);
  EXPECT_EQ(RecordBytes(record), std::vector<uint8_t>(8, 0));
  EXPECT_EQ(VELP2PMakeUnicastRecord("0.0.0.0", 65535, record), VEL_S_OK);
}

// An endpoint derived from the base announces its kind with the address reversed, whatever its kind.
TEST(TransportRecord, BaseEndPointAnnouncesItsKindInTheMulticastLayout) {
  for (bool unicast : {true, false}) {
    transporttest::Held<transporttest::LoopEndPoint> endpoint(new transporttest::LoopEndPoint(unicast));
    ASSERT_EQ(endpoint->Initialize("10.0.0.7", 4000), VEL_S_OK);
    EXPECT_EQ(
        RecordBytes(*endpoint->GetEndPointInfo()),
        (std::vector<uint8_t>{0x08, unicast ? uint8_t(1) : uint8_t(2), 0x0F, 0xA0, 0x07, 0x00, 0x00, 0x0A}));
    EXPECT_EQ(endpoint->Initialize("10.0.0", 4000), VEL_E_FAIL);
  }
  VELP2PPeerTestAccess::Reset();  // Initialize bound the endpoints to a local peer made for the occasion
}

// Their registered base is VELBaseUnknown, so the registry never takes them for VELP2PEndPoint kinds.
TEST(TransportRecord, EndPointsAreCreatedByNameButAreNoKindOfEndPoint) {
  for (const char* name : {"VELP2PMultiCastEndPoint", "VELP2PTCPEndPoint"}) {
    void* object = nullptr;
    ASSERT_EQ(VELCreateClassInstance(name, nullptr, 0, IID_VELIUnknown, &object), VEL_S_OK) << name;
    auto* endpoint = static_cast<VELBaseUnknown*>(static_cast<VELIUnknown*>(object));
    EXPECT_STREQ(endpoint->IsA(), name);
    EXPECT_FALSE(endpoint->IsAKindOf("VELP2PEndPoint"));
    endpoint->Release();
  }
}

}  // namespace
