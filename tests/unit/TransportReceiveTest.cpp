// The endpoint receive path: validation of received blocks, the echo filter and the hand-over to the peer.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "unit/TransportTestSupport.h"
#include "unit/WireTestSupport.h"

namespace {

using transporttest::Held;
using transporttest::LoopEndPoint;

// A multicast message from "alice" to group "/" for "StatusService" with the 10-byte payload "0123456789",
// sent by the multicast endpoint 224.0.1.85:2678 of a peer whose TCP endpoint is 127.0.0.1:5000.
std::vector<char> GoldenMulticastBlock() {
  const unsigned char fixed[88] = {
      0x00, 0x00, 0x00, 0x63,  // totalLength 99
      0x00, 0x59,              // headerLength 89
      0x01,                    // version
      0x12,                    // mode: single, multicast
      0x00, 0x58,              // groupOffset 88
      0x00, 0x01,              // groupLength 1
      'S',  't',  'a',  't',  'u', 's', 'S', 'e', 'r', 'v', 'i', 'c', 'e', 0, 0, 0,  // serviceName
      0,    0,    0,    0,    0,   0,   0,   0,   0,   0,   0,   0,   0,   0, 0, 0,  //
      'a',  'l',  'i',  'c',  'e', 0,   0,   0,   0,   0,   0,   0,   0,   0, 0, 0,  // senderName
      0,    0,    0,    0,    0,   0,   0,   0,   0,   0,   0,   0,   0,   0, 0, 0,  //
      0x55, 0x01, 0x00, 0xE0,  // senderAddress: the multicast record's reversed 224.0.1.85
      0x7F, 0x00, 0x00, 0x01,  // otherAddress: the TCP endpoint 127.0.0.1
      0x0A, 0x76,              // senderPort 2678
      0x13, 0x88,              // otherPort 5000
  };
  std::vector<char> block(fixed, fixed + 88);
  block.push_back('/');
  const char payload[] = "0123456789";
  block.insert(block.end(), payload, payload + 10);
  return block;
}

class TransportReceive : public transporttest::StartedPeerTest {};

TEST_F(TransportReceive, DispatchesGoldenMulticastBlockToItsService) {
  Held<LoopEndPoint> endpoint(new LoopEndPoint(false));
  std::vector<char> block = GoldenMulticastBlock();
  ASSERT_EQ(block.size(), 99u);
  EXPECT_EQ(endpoint->Receive(block), VEL_S_OK);
  ASSERT_EQ(Messages().size(), 1u);
  const transporttest::Received& message = Messages()[0];
  EXPECT_EQ(message.sender, "alice");
  EXPECT_EQ(message.group, "/");
  EXPECT_EQ(message.payload, "0123456789");
  EXPECT_EQ(message.multicast, 1);
  EXPECT_EQ(message.unicast, 0);
  // A multicast message is answered at the TCP endpoint it advertises.
  EXPECT_EQ(transporttest::RecordBytes(message.reply)[4], 0x7F);
  EXPECT_EQ(VELP2PRecordPort(message.reply), 5000);
}

TEST_F(TransportReceive, IgnoresVersionZeroWithSuccess) {
  Held<LoopEndPoint> endpoint(new LoopEndPoint(false));
  std::vector<char> block = GoldenMulticastBlock();
  block[6] = 0;
  EXPECT_EQ(endpoint->Receive(block), VEL_S_OK);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(TransportReceive, RefusesModeWithoutSingleOrGroupBit) {
  Held<LoopEndPoint> endpoint(new LoopEndPoint(false));
  for (char mode : {char(0x10), char(0x08), char(0x00)}) {
    wiretest::TraceCapture trace;
    std::vector<char> block = GoldenMulticastBlock();
    block[7] = mode;
    EXPECT_EQ(endpoint->Receive(block), VEL_E_FAIL) << int(mode);
    EXPECT_TRUE(trace.Has("wrong mode : message discarded ")) << int(mode);
  }
  EXPECT_TRUE(Messages().empty());
}

TEST_F(TransportReceive, TreatsSingleBlockWithGroupBitAsWhole) {
  Held<LoopEndPoint> endpoint(new LoopEndPoint(false));
  std::vector<char> block = GoldenMulticastBlock();
  block[7] = 0x12 | 0x20;
  EXPECT_EQ(endpoint->Receive(block), VEL_S_OK);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].payload, "0123456789");
}

TEST_F(TransportReceive, RefusesEveryMalformedBlockWithoutDispatching) {
  Held<LoopEndPoint> endpoint(new LoopEndPoint(false));
  struct Case {
    const char* what;
    std::function<void(std::vector<char>&, int&)> spoil;
  };
  const std::vector<Case> cases = {
      {"shorter than the fixed part", [](std::vector<char>&, int& size) { size = 87; }},
      {"totalLength beyond the bytes received", [](std::vector<char>&, int& size) { size = 98; }},
      {"totalLength below headerLength", [](std::vector<char>& b, int&) { b[3] = 0x58; }},
      {"headerLength inside the fixed part", [](std::vector<char>& b, int&) { b[5] = 0x50; }},
      {"headerLength beyond totalLength", [](std::vector<char>& b, int&) { b[5] = 0x64; }},
      {"groupOffset zero", [](std::vector<char>& b, int&) { b[9] = 0; }},
      {"group path beyond the header", [](std::vector<char>& b, int&) { b[11] = 2; }},
      {"huge groupLength",
       [](std::vector<char>& b, int&) {
         b[10] = char(0xFF);
         b[11] = char(0xFF);
       }},
      {"unterminated sender name", [](std::vector<char>& b, int&) { std::memset(&b[44], 'x', 32); }},
      {"unterminated service name", [](std::vector<char>& b, int&) { std::memset(&b[12], 'y', 32); }},
      {"fragment beyond the bytes received",
       [](std::vector<char>& b, int& size) {
         b[7] = 0x30;
         size = 90;
       }},
      {"first fragment announcing nothing",
       [](std::vector<char>& b, int&) {
         b[7] = 0x30;
         std::memset(&b[84], 0, 4);
       }},
  };
  for (const Case& c : cases) {
    std::vector<char> block = GoldenMulticastBlock();
    int size = static_cast<int>(block.size());
    c.spoil(block, size);
    EXPECT_EQ(endpoint->Receive(block, size), VEL_E_FAIL) << c.what;
  }
  EXPECT_TRUE(Messages().empty());
}

TEST_F(TransportReceive, HandsNothingOverWithoutStartedPeer) {
  Held<LoopEndPoint> endpoint(new LoopEndPoint(false));
  VELP2PPeerTestAccess::SetConnected(0);
  EXPECT_EQ(endpoint->Receive(GoldenMulticastBlock()), VEL_E_FAIL);
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
  VELP2PPeerTestAccess::SetRtc(1);
  Held<LoopEndPoint> unicast(new LoopEndPoint(true));
  EXPECT_EQ(unicast->Receive(EchoBlock("/")), VEL_S_OK);
  EXPECT_EQ(unicast->Receive(EchoBlock("/Force/Sub")), VEL_S_OK);
  EXPECT_TRUE(Messages().empty());

  EXPECT_EQ(unicast->Receive(EchoBlock("/Force")), VEL_S_OK);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].group, "/Force");

  // Multicast endpoints never apply the rule: a peer hears its own group traffic.
  Held<LoopEndPoint> multicast(new LoopEndPoint(false));
  EXPECT_EQ(multicast->Receive(EchoBlock("/")), VEL_S_OK);
  EXPECT_EQ(Messages().size(), 2u);
}

TEST_F(TransportReceive, StandardModeDeliversOwnPointToPointMessages) {
  Held<LoopEndPoint> unicast(new LoopEndPoint(true));
  EXPECT_EQ(unicast->Receive(EchoBlock("/")), VEL_S_OK);
  EXPECT_EQ(Messages().size(), 1u);
}

}  // namespace
