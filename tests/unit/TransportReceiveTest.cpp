// The endpoint receive path: validation of received blocks, the echo filter and the hand-over to the peer.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "unit/TransportTestSupport.h"
#include "unit/WireTestSupport.h"

namespace {

using transporttest::Held;
using transporttest::LoopEndPoint;
using wiretest::GoldenMulticastBlock;

class TransportReceive : public transporttest::StartedPeerTest {};

TEST_F(TransportReceive, DispatchesTheGoldenMulticastBlockToItsService) {
  Held<LoopEndPoint> endpoint(new LoopEndPoint(false));
  EXPECT_EQ(endpoint->Receive(GoldenMulticastBlock()), VEL_S_OK);
  ASSERT_EQ(Messages().size(), 1u);
  const transporttest::Received& message = Messages()[0];
  EXPECT_EQ(message.sender, "alice");
  EXPECT_EQ(message.group, "/");
  EXPECT_EQ(message.payload, "0123456789");
  EXPECT_EQ(message.multicast, 1);
  EXPECT_EQ(message.unicast, 0);
  // A multicast message is answered at the TCP endpoint it advertises.
  EXPECT_EQ(transporttest::RecordBytes(message.reply)[4], 10);
  EXPECT_EQ(VELP2PRecordPort(message.reply), 40000);

  // A version-0 block is ignored with success; a whole block that also bears the group bit is whole.
  std::vector<char> block = GoldenMulticastBlock();
  block[6] = 0;
  EXPECT_EQ(endpoint->Receive(block), VEL_S_OK);
  block[6] = 1;
  block[7] = 0x12 | 0x20;
  EXPECT_EQ(endpoint->Receive(block), VEL_S_OK);
  ASSERT_EQ(Messages().size(), 2u);
  EXPECT_EQ(Messages()[1].payload, "0123456789");

  // Nothing is handed over while the peer is not started.
  VELP2PPeerTestAccess::SetConnected(0);
  EXPECT_EQ(endpoint->Receive(GoldenMulticastBlock()), VEL_E_FAIL);
  EXPECT_EQ(Messages().size(), 2u);
}

// Each case spoils the golden block (99 bytes: header 89, group "/" at 88) at one place and maybe its mode,
// or receives fewer of its bytes. Header checks come before any handler sees the block.
TEST_F(TransportReceive, RefusesEveryMalformedBlockWithoutDispatching) {
  Held<LoopEndPoint> endpoint(new LoopEndPoint(false));
  const struct {
    const char* what;
    int mode;   // -1: unchanged
    size_t at;  // where the bytes go
    std::vector<unsigned char> bytes;
    int received;
  } cases[] = {
      {"shorter than the fixed part", -1, 0, {}, 87},
      {"totalLength beyond the bytes received", -1, 0, {}, 98},
      {"totalLength far beyond", -1, 0, {0xFF, 0xFF, 0xFF, 0xFF}, 99},
      {"totalLength below headerLength", -1, 3, {0x58}, 99},
      {"headerLength inside the fixed part", -1, 5, {0x50}, 99},
      {"headerLength beyond totalLength", -1, 5, {0x64}, 99},
      {"groupOffset zero", -1, 9, {0}, 99},
      {"groupOffset inside the fixed part", -1, 9, {0x57}, 99},
      {"group path starting past the header", -1, 9, {0x5A}, 99},
      {"group path running into the payload", -1, 11, {2}, 99},
      {"huge groupLength", -1, 10, {0xFF, 0xFF}, 99},
      {"unterminated service name", -1, 12, std::vector<unsigned char>(32, 'y'), 99},
      {"unterminated sender name", -1, 44, std::vector<unsigned char>(32, 'x'), 99},
      {"multicast mode without single or group bit", 0x10, 0, {}, 99},
      {"unicast mode without single or group bit", 0x08, 0, {}, 99},
      {"mode zero", 0x00, 0, {}, 99},
      {"fragment beyond the bytes received", 0x30, 0, {}, 90},
      {"first fragment announcing nothing", 0x30, 84, {0, 0, 0, 0}, 99},
  };
  for (const auto& c : cases) {
    std::vector<char> block = GoldenMulticastBlock();
    std::copy(c.bytes.begin(), c.bytes.end(), block.begin() + c.at);
    if (c.mode >= 0)
      block[7] = static_cast<char>(c.mode);
    EXPECT_EQ(endpoint->Receive(block, c.received), VEL_E_FAIL) << c.what;
  }
  EXPECT_TRUE(Messages().empty());
}

// A point-to-point message whose sender bears the local peer's name.
std::vector<char> EchoBlock(const std::string& group) {
  wiretest::BlockSpec layout;
  layout.sender = "local";
  layout.group = group;
  layout.mode = 0;
  return wiretest::BuildBlock(layout, "echo");
}

TEST_F(TransportReceive, CollaborationDropsOwnPointToPointEchoUnlessForced) {
  Held<LoopEndPoint> unicast(new LoopEndPoint(true));
  EXPECT_EQ(unicast->Receive(EchoBlock("/")), VEL_S_OK);  // standard mode delivers it
  EXPECT_EQ(Messages().size(), 1u);

  VELP2PPeerTestAccess::SetRtc(1);
  EXPECT_EQ(unicast->Receive(EchoBlock("/")), VEL_S_OK);
  EXPECT_EQ(unicast->Receive(EchoBlock("/Force/Sub")), VEL_S_OK);
  EXPECT_EQ(Messages().size(), 1u);
  EXPECT_EQ(unicast->Receive(EchoBlock("/Force")), VEL_S_OK);
  ASSERT_EQ(Messages().size(), 2u);
  EXPECT_EQ(Messages()[1].group, "/Force");

  // Multicast endpoints never apply the rule: a peer hears its own group traffic.
  Held<LoopEndPoint> multicast(new LoopEndPoint(false));
  EXPECT_EQ(multicast->Receive(EchoBlock("/")), VEL_S_OK);
  EXPECT_EQ(Messages().size(), 3u);
}

}  // namespace
