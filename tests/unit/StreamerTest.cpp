// The payload streamer: byte layout, round trips, refusal of truncated or lying input, call sequence.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/VELBBStreamer.h"
#include "velp2p/VELBBMessage.h"
#include "velp2p/VELIBBStreamer.h"

namespace {

// A streamer obtained the way services obtain one: from a message that is released at once.
VELIBBStreamer* NewStreamer() {
  VELBBMessage* message = new VELBBMessage();
  void* object = nullptr;
  VELResult result = message->QueryInterface(IID_VELIBBStreamer, &object);
  message->Release();
  EXPECT_GE(result, 0);
  return static_cast<VELIBBStreamer*>(object);
}

// Ends the stream and returns a copy of the payload.
std::vector<uint8_t> Finish(VELIBBStreamer* streamer) {
  int length = -1;
  const uint8_t* payload = static_cast<const uint8_t*>(streamer->EndStream(length));
  std::vector<uint8_t> bytes;
  if (payload != nullptr && length >= 0)
    bytes.assign(payload, payload + length);
  EXPECT_GE(streamer->ReleaseStreamedBuffer(), 0);
  return bytes;
}

// A status payload: kind "0", status 3, description "Hello".
const std::vector<uint8_t> kStatusPayload = {
    0x30,                          // StreamByte: kind "0"
    0x03, 0x00, 0x00, 0x00,        // StreamInt: status 3, little-endian
    0x05, 0x00, 0x00, 0x00,        // StreamFixedByteArray: length 5, little-endian
    'H',  'e',  'l',  'l',  'o'};  // ... and its bytes

TEST(Streamer, PayloadLayouts) {
  VELIBBStreamer* streamer = NewStreamer();
  ASSERT_NE(streamer, nullptr);
  // A single string is the text and one zero byte.
  ASSERT_GE(streamer->BeginStream(), 0);
  ASSERT_GE(streamer->StreamString("/P2PRoot/Design"), 0);
  const char* group = "/P2PRoot/Design";
  EXPECT_EQ(Finish(streamer), std::vector<uint8_t>(group, group + 16));

  ASSERT_GE(streamer->BeginStream(), 0);
  ASSERT_GE(streamer->StreamByte('0'), 0);
  ASSERT_GE(streamer->StreamInt(3), 0);
  ASSERT_GE(streamer->StreamFixedByteArray("Hello", 5), 0);
  EXPECT_EQ(Finish(streamer), kStatusPayload);
  EXPECT_LT(streamer->ReleaseStreamedBuffer(), 0);  // nothing left to release
  streamer->Release();
}

TEST(Streamer, ReadsBackWhatWasWrittenFromItsOwnCopy) {
  VELIBBStreamer* streamer = NewStreamer();
  const char description[] = "caf\xC3\xA9 \xF0\x9F\x98\x80";
  const int size = static_cast<int>(std::strlen(description));
  ASSERT_GE(streamer->BeginStream(), 0);
  ASSERT_GE(streamer->StreamByte(0xFF), 0);
  ASSERT_GE(streamer->StreamInt(INT32_MIN), 0);
  ASSERT_GE(streamer->StreamString(""), 0);
  ASSERT_GE(streamer->StreamString("/P2PRoot"), 0);
  ASSERT_GE(streamer->StreamFixedByteArray(description, size), 0);
  ASSERT_GE(streamer->StreamFixedByteArray(nullptr, 0), 0);
  std::vector<uint8_t> payload = Finish(streamer);

  ASSERT_GE(streamer->BeginUnstream(payload.data(), static_cast<int>(payload.size())), 0);
  payload.assign(payload.size(), 0);
  unsigned char byte = 0;
  int32_t number = 0;
  std::string empty = "x", group;
  int first = -1, second = -1;
  std::vector<char> text(static_cast<size_t>(size));
  EXPECT_GE(streamer->UnstreamByte(byte), 0);
  EXPECT_GE(streamer->UnstreamInt(number), 0);
  EXPECT_GE(streamer->UnstreamString(empty), 0);
  EXPECT_GE(streamer->UnstreamString(group), 0);
  ASSERT_GE(streamer->UnstreamVariableArrayLength(first), 0);
  ASSERT_EQ(first, size);
  EXPECT_GE(streamer->UnstreamFixedByteArray(text.data(), size), 0);
  EXPECT_GE(streamer->UnstreamVariableArrayLength(second), 0);
  EXPECT_GE(streamer->UnstreamFixedByteArray(nullptr, 0), 0);
  EXPECT_LT(streamer->UnstreamByte(byte), 0);  // everything has been read
  EXPECT_GE(streamer->EndUnstream(), 0);
  EXPECT_EQ(byte, 0xFF);
  EXPECT_EQ(number, INT32_MIN);
  EXPECT_EQ(empty, "");
  EXPECT_EQ(group, "/P2PRoot");
  EXPECT_EQ(std::string(text.begin(), text.end()), description);
  EXPECT_EQ(second, 0);
  streamer->Release();
}

// Reads a status payload as the status service does; returns the number of the step that failed (1 byte,
// 2 int, 3 array length, 4 array bytes), or 0 when all succeeded.
int ReadStatus(VELIBBStreamer* streamer, const uint8_t* payload, int length) {
  EXPECT_GE(streamer->BeginUnstream(payload, length), 0);
  unsigned char kind = 0;
  int32_t status = 0;
  int size = 0;
  std::vector<uint8_t> bytes(16);
  int failed = streamer->UnstreamByte(kind) < 0                           ? 1
               : streamer->UnstreamInt(status) < 0                        ? 2
               : streamer->UnstreamVariableArrayLength(size) < 0          ? 3
               : streamer->UnstreamFixedByteArray(bytes.data(), size) < 0 ? 4
                                                                          : 0;
  streamer->EndUnstream();
  return failed;
}

TEST(StreamerTruncation, EveryCutOfAStatusPayloadFailsAtTheFieldItCuts) {
  VELIBBStreamer* streamer = NewStreamer();
  for (size_t cut = 0; cut < kStatusPayload.size(); ++cut) {
    // An exact-size copy, so that a read past the cut would be a read past an allocation.
    std::vector<uint8_t> truncated(kStatusPayload.begin(), kStatusPayload.begin() + cut);
    int expected = cut < 1 ? 1 : cut < 5 ? 2 : 3;  // a cut inside the bytes fails at their announced length
    EXPECT_EQ(ReadStatus(streamer, truncated.data(), static_cast<int>(cut)), expected) << "cut at " << cut;
  }
  EXPECT_EQ(ReadStatus(streamer, kStatusPayload.data(), static_cast<int>(kStatusPayload.size())), 0);
  streamer->Release();
}

TEST(StreamerTruncation, LyingArrayLengthsFailWithoutConsumingAnything) {
  VELIBBStreamer* streamer = NewStreamer();
  const uint8_t huge[] = {0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b'};  // 2^31 - 1 announced, 2 present
  int length = 123;
  ASSERT_GE(streamer->BeginUnstream(huge, sizeof(huge)), 0);
  EXPECT_LT(streamer->UnstreamVariableArrayLength(length), 0);
  EXPECT_EQ(length, 123);
  int32_t raw = 0;
  EXPECT_GE(streamer->UnstreamInt(raw), 0);  // the failed read left the field in place
  EXPECT_EQ(raw, INT32_MAX);
  char two[2];
  EXPECT_LT(streamer->UnstreamFixedByteArray(two, 3), 0);
  EXPECT_LT(streamer->UnstreamFixedByteArray(two, -1), 0);
  EXPECT_GE(streamer->UnstreamFixedByteArray(two, 2), 0);
  EXPECT_GE(streamer->EndUnstream(), 0);

  const uint8_t negative[] = {0xFF, 0xFF, 0xFF, 0xFF};  // -1
  ASSERT_GE(streamer->BeginUnstream(negative, sizeof(negative)), 0);
  EXPECT_LT(streamer->UnstreamVariableArrayLength(length), 0);
  EXPECT_GE(streamer->EndUnstream(), 0);

  const uint8_t unterminated[] = {'a', 'b', 'c'};
  std::string text = "kept";
  ASSERT_GE(streamer->BeginUnstream(unterminated, sizeof(unterminated)), 0);
  EXPECT_LT(streamer->UnstreamString(text), 0);
  EXPECT_EQ(text, "kept");
  EXPECT_GE(streamer->EndUnstream(), 0);
  streamer->Release();
}

TEST(StreamerUsage, RefusesOperationsOutOfSequenceAndBadArguments) {
  VELIBBStreamer* streamer = NewStreamer();
  int length = 7;
  EXPECT_LT(streamer->StreamByte(1), 0);  // before BeginStream
  EXPECT_EQ(streamer->EndStream(length), nullptr);
  EXPECT_EQ(length, 0);
  ASSERT_GE(streamer->BeginStream(), 0);
  EXPECT_LT(streamer->StreamString(nullptr), 0);
  EXPECT_LT(streamer->StreamFixedByteArray(nullptr, 3), 0);
  EXPECT_LT(streamer->StreamFixedByteArray("abc", -1), 0);
  EXPECT_EQ(Finish(streamer), std::vector<uint8_t>{});
  EXPECT_LT(streamer->StreamInt(1), 0);  // after EndStream

  unsigned char byte = 0;
  EXPECT_LT(streamer->UnstreamByte(byte), 0);  // before BeginUnstream
  EXPECT_LT(streamer->EndUnstream(), 0);
  EXPECT_LT(streamer->BeginUnstream(nullptr, 3), 0);
  EXPECT_LT(streamer->BeginUnstream("abc", -1), 0);
  streamer->Release();
}

TEST(StreamerUsage, EachQueryGivesANewStreamerThatOutlivesItsMessage) {
  VELBBMessage* message = new VELBBMessage();
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_GE(message->QueryInterface(IID_VELIBBStreamer, &first), 0);
  ASSERT_GE(message->QueryInterface(IID_VELIBBStreamer, &second), 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(message->Release(), 0u);
  VELIBBStreamer* streamer = static_cast<VELIBBStreamer*>(first);
  ASSERT_GE(streamer->BeginStream(), 0);
  EXPECT_GE(streamer->StreamInt(1), 0);
  EXPECT_EQ(streamer->Release(), 0u);
  EXPECT_EQ(static_cast<VELIBBStreamer*>(second)->Release(), 0u);
}

}  // namespace
