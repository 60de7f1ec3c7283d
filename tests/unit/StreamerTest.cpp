// The payload streamer: byte layout, reading from its own copy, call sequence, ownership.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/VELBBMessage.h"
#include "velp2p/VELIBBStreamer.h"

namespace {

// A streamer obtained the way services obtain one: from a message that is released at once.
VELIBBStreamer* NewStreamer() {
  VELBBMessage* message = new VELBBMessage();
  void* object = nullptr;
  message->QueryInterface(IID_VELIBBStreamer, &object);
  message->Release();
  return static_cast<VELIBBStreamer*>(object);
}

std::vector<uint8_t> Finish(VELIBBStreamer* streamer) {
  int length = -1;
  const uint8_t* payload = static_cast<const uint8_t*>(streamer->EndStream(length));
  std::vector<uint8_t> bytes(payload, payload + (payload ? length : 0));
  EXPECT_GE(streamer->ReleaseStreamedBuffer(), 0);
  return bytes;
}

TEST(Streamer, WritesTheLayoutAndReadsItBackFromItsOwnCopy) {
  VELIBBStreamer* streamer = NewStreamer();
  ASSERT_GE(streamer->BeginStream(), 0);
  ASSERT_GE(streamer->StreamByte('0'), 0);
  ASSERT_GE(streamer->StreamInt(-2), 0);
  ASSERT_GE(streamer->StreamFixedByteArray("Hi", 2), 0);
  ASSERT_GE(streamer->StreamString("/P"), 0);
  std::vector<uint8_t> payload = Finish(streamer);
  EXPECT_EQ(payload, (std::vector<uint8_t>{'0', 0xFE, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 'H', 'i', '/', 'P', 0}));
  EXPECT_LT(streamer->ReleaseStreamedBuffer(), 0);  // nothing left to release

  ASSERT_GE(streamer->BeginUnstream(payload.data(), static_cast<int>(payload.size())), 0);
  payload.assign(payload.size(), 0);
  unsigned char byte = 0;
  int32_t number = 0;
  int length = 0;
  char two[2];
  std::string text;
  EXPECT_GE(streamer->UnstreamByte(byte), 0);
  EXPECT_GE(streamer->UnstreamInt(number), 0);
  EXPECT_GE(streamer->UnstreamVariableArrayLength(length), 0);
  EXPECT_GE(streamer->UnstreamFixedByteArray(two, length), 0);
  EXPECT_GE(streamer->UnstreamString(text), 0);
  EXPECT_LT(streamer->UnstreamByte(byte), 0);
  EXPECT_GE(streamer->EndUnstream(), 0);
  EXPECT_EQ(std::to_string(byte) + " " + std::to_string(number) + " " + std::string(two, 2) + " " + text,
            "48 -2 Hi /P");
  streamer->Release();
}

TEST(Streamer, RefusesCallsOutOfSequenceAndEachQueryGivesOneThatOutlivesItsMessage) {
  VELIBBStreamer* streamer = NewStreamer();
  int length = 7;
  unsigned char byte = 0;
  EXPECT_LT(streamer->StreamByte(1), 0);
  EXPECT_EQ(streamer->EndStream(length), nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_LT(streamer->UnstreamByte(byte), 0);
  EXPECT_LT(streamer->EndUnstream(), 0);
  ASSERT_GE(streamer->BeginStream(), 0);
  EXPECT_EQ(Finish(streamer), std::vector<uint8_t>{});
  EXPECT_LT(streamer->StreamInt(1), 0);
  EXPECT_EQ(streamer->Release(), 0u);

  VELBBMessage* message = new VELBBMessage();
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_GE(message->QueryInterface(IID_VELIBBStreamer, &first), 0);
  ASSERT_GE(message->QueryInterface(IID_VELIBBStreamer, &second), 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(message->Release(), 0u);
  EXPECT_EQ(static_cast<VELIBBStreamer*>(first)->Release(), 0u);
  EXPECT_EQ(static_cast<VELIBBStreamer*>(second)->Release(), 0u);
}

}  // namespace
