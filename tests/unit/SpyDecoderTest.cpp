// The spy's words for people, and its reason for each rule a refused block breaks. The fields it reads from
// every golden block are held to tests/golden/decoded.txt by GoldenDecodingTest.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "VELConsoleJsonReader.h"
#include "VELSpyDecoder.h"
#include "support/GoldenVectors.h"

// header_multicast carries a status payload that peers refuse; altered field by field, it breaks each rule
// of the header in turn. The first rule broken is the one reported.
TEST(SpyDecoder, SummarisesBlocksAndTellsWhyPeersRefuseOne) {
  const struct {
    const char* golden;
    size_t size;  // of the altered block, padded with zeros; 0: as it is
    size_t at;
    std::vector<uint8_t> bytes;  // written at offset at
    const char* said;            // the summary, or the reason when the block is refused
  } cases[] = {
      {"spy_awareness_birth", 0, 0, {}, "birth pid 12345: multicast 224.0.1.85:2678, tcp 127.0.0.1:50000"},
      {"spy_peer_present", 0, 0, {}, "present: multicast 224.0.1.85:2678, tcp 127.0.0.2:4000"},
      {"spy_status_change", 0, 0, {}, "change 3 \"busy\""},
      {"payload_chat",
       0,
       0,
       {},
       "message type 66, header \"Gr\xC3\xB6\xC3\x9F"
       "e \xE2\x9C\x93\", 8 data bytes"},
      {"spy_session_force", 0, 0, {}, "opened type 3 with \"bob_KVZ\""},
      {"fragment_first", 0, 0, {}, "first fragment of group 1694498818, 4 payload bytes of 1200"},
      {"header_multicast",
       0,
       0,
       {},
       "a status payload of 10 bytes that does not hold kind, status, a description "
       "count of 1 or more and as many bytes"},
      {"header_multicast", 87, 0, {}, "87 bytes, fewer than the 88 of the fixed part"},
      {"header_multicast", 1100, 0, {}, "a datagram of 1100 bytes, longer than the 1024 peers read"},
      {"header_multicast", 99, 0, {0, 0, 0, 100}, "totalLength 100 beyond the 99 bytes received"},
      {"header_multicast", 99, 4, {0, 80}, "headerLength 80 below 88"},
      {"header_multicast", 99, 4, {0, 100}, "totalLength 99 below headerLength 100"},
      {"header_multicast", 99, 8, {0, 87}, "the group path (offset 87, 1 bytes) lies outside the header"},
      {"header_multicast", 99, 10, {0, 2}, "the group path (offset 88, 2 bytes) lies outside the header"},
      {"header_multicast", 99, 44, std::vector<uint8_t>(32, 'x'), "senderName without its zero byte"},
      {"header_multicast", 99, 6, {0}, "version 0, which peers ignore"},
      {"header_multicast", 99, 7, {0x10}, "mode 0x10 is neither a whole message nor a fragment"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = LoadGolden(c.golden);
    bytes.resize(c.size ? c.size : bytes.size());
    std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + c.at);
    VELConsoleJson json;
    const VELSpyDecoder::Block block = VELSpyDecoder().Decode(bytes.data(), bytes.size(), true, json);
    VELConsoleJsonReader record;
    ASSERT_TRUE(record.Parse(json.Text())) << json.Text();
    EXPECT_EQ(block.malformed.empty() ? block.summary : block.malformed, c.said);
    EXPECT_EQ(record.Text("malformed"), block.malformed);
  }
}
