// The message object: what a service reads from a parsed header, and what a message without header refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/TraceCapture.h"
#include "unit/WireTestSupport.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELIBBStreamer.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PMessage.h"

using wiretest::BlockSpec;
using wiretest::BuildBlock;
using wiretest::RawAddress;
using wiretest::RawPort;

namespace {

// A received block, its parsing header and the message over it, as the dispatch lays them out.
struct Received {
  std::vector<char> bytes;
  VELP2PHeader header;
  Received(const BlockSpec& layout, const std::string& payload) : bytes(BuildBlock(layout, payload)) {
    EXPECT_EQ(VEL_S_OK, header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(bytes.data()),
                                          static_cast<int>(bytes.size())));
  }
};

BlockSpec Unicast() {
  BlockSpec layout;
  layout.mode = 0;
  layout.senderAddress = RawAddress(10, 0, 0, 7);
  layout.senderPort = RawPort(0x9C, 0x40);
  layout.otherAddress = RawAddress(85, 1, 0, 224);
  layout.otherPort = RawPort(0x0A, 0x76);
  return layout;
}

}  // namespace

TEST(WireMessage, TellsMulticastFromUnicast) {
  Received multicast(BlockSpec(), "m");
  VELP2PMessage fromGroup(multicast.header);
  EXPECT_EQ(fromGroup.IsMulticast(), 1);
  EXPECT_EQ(fromGroup.IsUnicast(), 0);

  Received unicast(Unicast(), "u");
  VELP2PMessage fromPeer(unicast.header);
  EXPECT_EQ(fromPeer.IsMulticast(), 0);
  EXPECT_EQ(fromPeer.IsUnicast(), 1);
}

TEST(WireMessage, ReadsGroupSenderAndPayloadOfItsHeader) {
  BlockSpec layout;
  layout.group = "/P2PRoot/Lab";
  layout.sender = "carol";
  Received received(layout, "payload!");
  VELP2PMessage message(received.header);
  VELUnicodeString group, sender;
  ASSERT_EQ(VEL_S_OK, message.GetMessageGroup(group));
  ASSERT_EQ(VEL_S_OK, message.GetSendingPeerName(sender));
  EXPECT_EQ(group, "/P2PRoot/Lab");
  EXPECT_EQ(sender, "carol");
  int length = -1;
  ASSERT_EQ(VEL_S_OK, message.GetBufferLenght(length));
  ASSERT_EQ(length, 8);
  // The copy is exactly the payload: the guard bytes after it stay untouched.
  std::vector<char> destination(length + 4, '#');
  ASSERT_EQ(VEL_S_OK, message.GetBuffer(destination.data()));
  EXPECT_EQ(std::string(destination.data(), 8), "payload!");
  EXPECT_EQ(std::string(destination.data() + 8, 4), "####");
  EXPECT_EQ(VEL_E_FAIL, message.GetBuffer(destination.data(), 7));
  EXPECT_EQ(VEL_S_OK, message.GetBuffer(destination.data(), 8));
  int version = 0;
  ASSERT_EQ(VEL_S_OK, message.GetVersion(version));
  EXPECT_EQ(version, 1);
}

TEST(WireMessage, EmptyPayloadHasLengthZeroAndNothingToCopy) {
  Received received(BlockSpec(), "");
  VELP2PMessage message(received.header);
  int length = -1;
  EXPECT_EQ(VEL_S_OK, message.GetBufferLenght(length));
  EXPECT_EQ(length, 0);
  char destination[1];
  EXPECT_EQ(VEL_E_FAIL, message.GetBuffer(destination));
  EXPECT_EQ(VEL_E_FAIL, message.GetBuffer(destination, 1));
}

TEST(WireMessage, MessageWithoutHeaderFailsEveryGetter) {
  TraceCapture trace;
  {
    VELP2PMessage message;
    VELUnicodeString text("untouched");
    int value = 42;
    char destination[4];
    VELP2PEndPointInfo info{8, 1, 7, 9};
    EXPECT_EQ(VEL_E_FAIL, message.GetMessageGroup(text));
    EXPECT_EQ(VEL_E_FAIL, message.GetSendingPeerName(text));
    EXPECT_EQ(VEL_E_FAIL, message.GetBufferLenght(value));
    EXPECT_EQ(VEL_E_FAIL, message.GetBuffer(destination));
    EXPECT_EQ(VEL_E_FAIL, message.GetBuffer(destination, 4));
    EXPECT_EQ(VEL_E_FAIL, message.GetSendingPeerEPInfo(info, VELP2P_MESSAGE_UNICAST));
    EXPECT_EQ(VEL_E_FAIL, message.GetVersion(value));
    EXPECT_EQ(message.IsMulticast(), 0);
    EXPECT_EQ(message.IsUnicast(), 0);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(value, 42);
    EXPECT_EQ(info.port, 7);

    // A header that was never built nor parsed reads as no header at all.
    VELP2PHeader empty;
    VELP2PMessage overEmpty(empty);
    EXPECT_EQ(VEL_E_FAIL, overEmpty.GetBufferLenght(value));
    EXPECT_EQ(VEL_E_FAIL, overEmpty.GetMessageGroup(text));
  }
  EXPECT_EQ(trace.Count("VELP2PMessage - Constructor"), 1);  // only the message without header traces it
  EXPECT_EQ(trace.Count("VELP2PMessage - Destructor"), 2);
}

TEST(WireMessage, SendingEndPointFollowsTheKindMask) {
  Received unicast(Unicast(), "u");
  VELP2PMessage fromPeer(unicast.header);
  VELP2PEndPointInfo info{8, VELP2P_ENDPOINT_UNICAST, 0, 0};
  ASSERT_EQ(VEL_S_OK, fromPeer.GetSendingPeerEPInfo(info, VELP2P_MESSAGE_UNICAST));
  EXPECT_EQ(info.address, RawAddress(10, 0, 0, 7));
  EXPECT_EQ(info.port, RawPort(0x9C, 0x40));
  EXPECT_EQ(info.length, 8);
  EXPECT_EQ(info.kind, VELP2P_ENDPOINT_UNICAST);

  // By multicast, the unicast endpoint is the one the sender advertised in the other fields.
  Received multicast(BlockSpec(), "m");
  VELP2PMessage fromGroup(multicast.header);
  ASSERT_EQ(VEL_S_OK, fromGroup.GetSendingPeerEPInfo(info, VELP2P_MESSAGE_UNICAST));
  EXPECT_EQ(info.address, RawAddress(10, 0, 0, 7));
  EXPECT_EQ(info.port, RawPort(0x9C, 0x40));
  ASSERT_EQ(VEL_S_OK, fromGroup.GetSendingPeerEPInfo(info, VELP2P_MESSAGE_MULTICAST));
  EXPECT_EQ(info.address, RawAddress(85, 1, 0, 224));
  EXPECT_EQ(info.port, RawPort(0x0A, 0x76));
}

TEST(WireMessage, MulticastFromPeerWithoutUnicastEndPointGivesZeroEndPoint) {
  BlockSpec layout;
  layout.otherAddress = 0;
  layout.otherPort = 0;
  Received received(layout, "m");
  VELP2PMessage message(received.header);
  VELP2PEndPointInfo info{8, VELP2P_ENDPOINT_UNICAST, 0xFFFF, 0xFFFFFFFF};
  ASSERT_EQ(VEL_S_OK, message.GetSendingPeerEPInfo(info, VELP2P_MESSAGE_UNICAST));
  EXPECT_EQ(info.port, 0);
  EXPECT_EQ(info.address, 0u);
}

TEST(WireMessage, AnswersItsInterfaceAndHandsOutStreamers) {
  Received received(BlockSpec(), "m");
  VELP2PMessage message(received.header);
  void* object = nullptr;
  ASSERT_EQ(VEL_S_OK, message.QueryInterface(IID_VELIP2PMessage, &object));
  VELIP2PMessage* asInterface = static_cast<VELIP2PMessage*>(object);
  EXPECT_EQ(asInterface, static_cast<VELIP2PMessage*>(&message));
  EXPECT_EQ(message.GetRefCount(), 2u);
  int length = 0;
  EXPECT_EQ(VEL_S_OK, asInterface->GetBufferLenght(length));
  EXPECT_EQ(length, 1);
  asInterface->Release();
  EXPECT_EQ(message.GetRefCount(), 1u);

  ASSERT_EQ(VEL_S_OK, message.QueryInterface(IID_VELIBBStreamer, &object));
  ASSERT_NE(object, nullptr);
  static_cast<VELIBBStreamer*>(object)->Release();

  const VELIID unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_TRUE(VEL_FAILED(message.QueryInterface(unknown, &object)));
  EXPECT_EQ(object, nullptr);
}

TEST(WireMessage, IsCreatableByNameAsAKindOfBusMessage) {
  void* object = nullptr;
  ASSERT_EQ(VEL_S_OK, VELCreateClassInstance("VELP2PMessage", nullptr, 0, IID_VELIP2PMessage, &object));
  VELIP2PMessage* created = static_cast<VELIP2PMessage*>(object);
  int length = 0;
  EXPECT_EQ(VEL_E_FAIL, created->GetBufferLenght(length));  // created empty, like the default constructor

  // The streamer is obtained the way services do it: create, query, release the message.
  void* streamer = nullptr;
  ASSERT_EQ(VEL_S_OK, created->QueryInterface(IID_VELIBBStreamer, &streamer));
  created->Release();
  static_cast<VELIBBStreamer*>(streamer)->Release();

  EXPECT_STREQ(VELP2PMessage::ClassName(), "VELP2PMessage");
  VELP2PMessage message;
  EXPECT_STREQ(message.IsA(), "VELP2PMessage");
  EXPECT_TRUE(message.IsAKindOf("VELBBMessage"));
  EXPECT_TRUE(message.IsAKindOf("VELBaseUnknown"));
  EXPECT_FALSE(message.IsAKindOf("VELP2PPeer"));
}
