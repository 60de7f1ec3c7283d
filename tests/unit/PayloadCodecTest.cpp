// Every payload the services exchange, written by its codec, against the payload of a block written down
// once. The readers are held to the writers by the payload fuzz target (whatever they accept writes back to
// the same bytes) and to the other decoders by GoldenDecodingTest.
#include <gtest/gtest.h>

#include <cstring>
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

}  // namespace

TEST(PayloadCodec, WritesTheGoldenBytes) {
  const VELP2PEndPointInfo multicast = Record({0x08, 0x02, 0x0a, 0x76, 0x55, 0x01, 0x00, 0xe0});
  const VELP2PEndPointInfo unicast = Record({0x08, 0x01, 0x0f, 0xa0, 0x7f, 0x00, 0x00, 0x02});
  const std::vector<const VELP2PEndPointInfo*> records{&multicast, &unicast};
  const char data[] = {0, -1, 0, 'z', 'e', 'r', 'o', 0};
  const std::pair<const char*, std::vector<char>> cases[] = {
      {"payload_announcement", VELP2PWriteAnnouncement('0', 0x01020304, records)},
      {"payload_peer_records", VELP2PWritePeerRecords('0', records)},
      {"payload_status", VELP2PWriteStatus('0', 3, "in a meeting")},
      {"payload_status_empty", VELP2PWriteStatus('1', -1, "")},
      {"payload_chat", VELP2PWriteChat(0x42, "Größe ✓", data, 8)},
      {"payload_session", VELP2PWriteSession('0', 1, "zoë")},
      {"payload_group", VELP2PWriteGroupComponent("Design")},
  };
  for (const auto& [golden, written] : cases) {
    const std::vector<uint8_t> bytes = GoldenPayload(LoadGolden(golden));
    EXPECT_EQ(std::vector<char>(bytes.begin(), bytes.end()), written) << golden;
  }
}
