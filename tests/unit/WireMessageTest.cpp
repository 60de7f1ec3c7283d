// The message object: what a service reads from a parsed header, and what a message without header refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/WireTestSupport.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELIBBStreamer.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PMessage.h"

using wiretest::BlockSpec;
using wiretest::RawAddress;
using wiretest::RawPort;

namespace {

// A received block, its parsing header and the message over it, as the dispatch lays them out.
struct Received {
  std::vector<char> bytes;
  VELP2PHeader header;
  Received(const BlockSpec& layout, const std::string& payload)
      : bytes(wiretest::BuildBlock(layout, payload)) {
    EXPECT_EQ(VEL_S_OK, header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(bytes.data()),
                                          static_cast<int>(bytes.size())));
  }
};

}  // namespace

TEST(WireMessage, CopiesExactlyThePayloadAndReadsGroupAndSender) {
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
  std::vector<char> destination(length + 4, '#');
  ASSERT_EQ(VEL_S_OK, message.GetBuffer(destination.data()));
  EXPECT_EQ(std::string(destination.data(), 12), "payload!####");
  EXPECT_EQ(VEL_E_FAIL, message.GetBuffer(destination.data(), 7));
  EXPECT_EQ(VEL_S_OK, message.GetBuffer(destination.data(), 8));

  Received empty(BlockSpec(), "");
  VELP2PMessage emptyMessage(empty.header);
  EXPECT_EQ(VEL_S_OK, emptyMessage.GetBufferLenght(length));
  EXPECT_EQ(length, 0);
  EXPECT_EQ(VEL_E_FAIL, emptyMessage.GetBuffer(destination.data(), 1));
}

TEST(WireMessage, WithoutHeaderFailsEveryGetterAndTouchesNothing) {
  VELP2PHeader neverBuilt;
  VELP2PMessage withoutHeader;
  VELP2PMessage overEmpty(neverBuilt);
  for (VELP2PMessage* message : {&withoutHeader, &overEmpty}) {
    VELUnicodeString text("untouched");
    int value = 42;
    char destination[4];
    VELP2PEndPointInfo info{8, 1, 7, 9};
    EXPECT_EQ(VEL_E_FAIL, message->GetMessageGroup(text));
    EXPECT_EQ(VEL_E_FAIL, message->GetSendingPeerName(text));
    EXPECT_EQ(VEL_E_FAIL, message->GetBufferLenght(value));
    EXPECT_EQ(VEL_E_FAIL, message->GetBuffer(destination, 4));
    EXPECT_EQ(VEL_E_FAIL, message->GetSendingPeerEPInfo(info, VELP2P_MESSAGE_UNICAST));
    EXPECT_EQ(VEL_E_FAIL, message->GetVersion(value));
    EXPECT_EQ(message->IsMulticast() + message->IsUnicast(), 0);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(value, 42);
    EXPECT_EQ(info.port, 7);
  }
}

// By TCP the sender's unicast endpoint is the sending one; by multicast it is the one advertised in the
// other fields, zero when the sender has none.
TEST(WireMessage, SendingEndPointFollowsTheTransportAndTheKindMask) {
  BlockSpec unicast;
  unicast.mode = 0;
  Received byTcp(unicast, "u");
  VELP2PMessage fromPeer(byTcp.header);
  EXPECT_EQ(fromPeer.IsUnicast() * 10 + fromPeer.IsMulticast(), 10);
  VELP2PEndPointInfo info{8, VELP2P_ENDPOINT_UNICAST, 0, 0};
  ASSERT_EQ(VEL_S_OK, fromPeer.GetSendingPeerEPInfo(info, VELP2P_MESSAGE_UNICAST));
  EXPECT_EQ(info.address, RawAddress(85, 1, 0, 224));
  EXPECT_EQ(info.port, RawPort(0x0A, 0x76));

  Received byMulticast(BlockSpec(), "m");
  VELP2PMessage fromGroup(byMulticast.header);
  EXPECT_EQ(fromGroup.IsUnicast() * 10 + fromGroup.IsMulticast(), 1);
  ASSERT_EQ(VEL_S_OK, fromGroup.GetSendingPeerEPInfo(info, VELP2P_MESSAGE_UNICAST));
  EXPECT_EQ(info.address, RawAddress(10, 0, 0, 7));
  EXPECT_EQ(info.port, RawPort(0x9C, 0x40));
  ASSERT_EQ(VEL_S_OK, fromGroup.GetSendingPeerEPInfo(info, VELP2P_MESSAGE_MULTICAST));
  EXPECT_EQ(info.address, RawAddress(85, 1, 0, 224));
  EXPECT_EQ(info.port, RawPort(0x0A, 0x76));

  BlockSpec noUnicast;
  noUnicast.otherAddress = 0;
  noUnicast.otherPort = 0;
  Received alone(noUnicast, "m");
  ASSERT_EQ(VEL_S_OK, VELP2PMessage(alone.header).GetSendingPeerEPInfo(info, VELP2P_MESSAGE_UNICAST));
  EXPECT_EQ(info.port, 0);
  EXPECT_EQ(info.address, 0u);
}

TEST(WireMessage, InterfacesAndStreamersHoldTheirOwnReference) {
  Received received(BlockSpec(), "m");
  VELP2PMessage message(received.header);
  void* object = nullptr;
  ASSERT_EQ(VEL_S_OK, message.QueryInterface(IID_VELIP2PMessage, &object));
  EXPECT_EQ(object, static_cast<VELIP2PMessage*>(&message));
  EXPECT_EQ(message.GetRefCount(), 2u);
  static_cast<VELIP2PMessage*>(object)->Release();
  EXPECT_EQ(message.GetRefCount(), 1u);
  const VELIID unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_TRUE(VEL_FAILED(message.QueryInterface(unknown, &object)));
  EXPECT_EQ(object, nullptr);

  // The streamer outlives the message it came from, the way services use it.
  ASSERT_EQ(VEL_S_OK, VELCreateClassInstance("VELP2PMessage", nullptr, 0, IID_VELIP2PMessage, &object));
  VELIP2PMessage* created = static_cast<VELIP2PMessage*>(object);
  void* streamer = nullptr;
  ASSERT_EQ(VEL_S_OK, created->QueryInterface(IID_VELIBBStreamer, &streamer));
  created->Release();
  static_cast<VELIBBStreamer*>(streamer)->Release();
}
