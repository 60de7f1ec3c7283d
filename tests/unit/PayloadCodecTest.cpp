// Every payload the services exchange, written by its codec and read back, against bytes written down once.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/GoldenVectors.h"
#include "wire/VELP2PPayloads.h"

namespace {

VELP2PEndPointInfo Record(const std::vector<uint8_t>& bytes) {
  VELP2PEndPointInfo record;
  std::memcpy(&record, bytes.data(), sizeof(record));
  return record;
}

const VELP2PEndPointInfo kMulticast = Record({0x08, 0x02, 0x0a, 0x76, 0x55, 0x01, 0x00, 0xe0});
const VELP2PEndPointInfo kUnicast = Record({0x08, 0x01, 0x0f, 0xa0, 0x7f, 0x00, 0x00, 0x02});
const std::vector<const VELP2PEndPointInfo*> kRecords{&kMulticast, &kUnicast};
const char kChatData[] = {0, -1, 0, 'z', 'e', 'r', 'o', 0};

std::string Text(const char* bytes, int count) {
  return bytes ? std::string(bytes, static_cast<size_t>(count)) : std::string();
}

// What a reader found in a payload, as one line.
using Reading = std::function<std::string(const char*, size_t)>;

struct PayloadCase {
  const char* golden;
  std::vector<char> written;
  Reading read;
  std::string expected;
};

std::string ReadAnnouncement(const char* data, size_t size) {
  VELP2PAnnouncement a;
  if (!VELP2PReadAnnouncement(data, size, a))
    return "refused";
  return std::to_string(a.kind) + " " + std::to_string(a.count) + " " + std::to_string(a.processId) + " " +
         std::to_string(a.recordBytes);
}
std::string ReadPeerRecords(const char* data, size_t size) {
  VELP2PPeerRecords p;
  if (!VELP2PReadPeerRecords(data, size, p))
    return "refused";
  return std::to_string(p.command) + " " + std::to_string(p.count) + " " + std::to_string(p.recordBytes);
}
std::string ReadStatus(const char* data, size_t size) {
  VELP2PStatusPayload s;
  if (!VELP2PReadStatus(data, size, s))
    return "refused";
  return std::to_string(s.kind) + " " + std::to_string(s.status) + " <" + Text(s.desc, s.descBytes) + ">";
}
std::string ReadChat(const char* data, size_t size) {
  VELP2PChatPayload c;
  if (!VELP2PReadChat(data, size, c))
    return "refused";
  return std::to_string(c.type) + " <" + Text(c.header, c.headerBytes) + "> " + std::to_string(c.dataBytes);
}
std::string ReadSession(const char* data, size_t size) {
  VELP2PSessionPayload s;
  if (!VELP2PReadSession(data, size, s))
    return "refused";
  return std::to_string(s.event) + " " + std::to_string(s.sessionType) + " <" + Text(s.name, s.nameBytes) +
         ">";
}
std::string ReadGroup(const char* data, size_t size) {
  std::string component;
  return VELP2PReadGroupComponent(data, size, component) ? "<" + component + ">" : "refused";
}

}  // namespace

TEST(PayloadCodec, WritesTheGoldenBytesAndReadsThemBack) {
  const PayloadCase cases[] = {
      {"payload_announcement", VELP2PWriteAnnouncement('0', 0x01020304, kRecords), ReadAnnouncement,
       "48 2 16909060 16"},
      {"payload_peer_records", VELP2PWritePeerRecords('0', kRecords), ReadPeerRecords, "48 2 20"},
      {"payload_status", VELP2PWriteStatus('0', 3, "in a meeting"), ReadStatus, "48 3 <in a meeting>"},
      {"payload_status_empty", VELP2PWriteStatus('1', -1, ""), ReadStatus, "49 -1 <>"},
      {"payload_chat", VELP2PWriteChat(0x42, "Größe ✓", kChatData, 8), ReadChat, "66 <Größe ✓> 8"},
      {"payload_session", VELP2PWriteSession('0', 1, "zoë"), ReadSession, "48 1 <zoë>"},
      {"payload_group", VELP2PWriteGroupComponent("Design"), ReadGroup, "<Design>"},
  };
  for (const PayloadCase& c : cases) {
    const std::vector<uint8_t> golden = LoadGolden(c.golden);
    ASSERT_FALSE(golden.empty()) << c.golden;
    EXPECT_EQ(std::vector<char>(golden.begin(), golden.end()), c.written) << c.golden;
    EXPECT_EQ(c.read(reinterpret_cast<const char*>(golden.data()), golden.size()), c.expected) << c.golden;
  }
}
