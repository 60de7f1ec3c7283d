// The spy's words for people, and its reason for each rule a refused block breaks. The fields it reads from
// every golden block are held to tests/golden/decoded.txt by GoldenDecodingTest.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "VELConsoleJsonReader.h"
#include "VELSpyDecoder.h"
#include "support/GoldenVectors.h"

namespace {

VELSpyDecoder::Block Decode(const std::vector<uint8_t>& bytes, std::string& malformed) {
  VELConsoleJson json;
  const VELSpyDecoder::Block block = VELSpyDecoder().Decode(bytes.data(), bytes.size(), true, json);
  VELConsoleJsonReader record;
  EXPECT_TRUE(record.Parse(json.Text())) << json.Text();
  malformed = record.Text("malformed");
  return block;
}

}  // namespace

TEST(SpyDecoder, SummarisesGoldenBlocks) {
  const std::pair<const char*, const char*> cases[] = {
      {"spy_awareness_birth", "birth pid 12345: multicast 224.0.1.85:2678, tcp 127.0.0.1:50000"},
      {"spy_status_change", "change 3 \"busy\""},
      {"spy_group_root", "publishes \"P2PRoot\""},
      {"spy_peer_present", "present: multicast 224.0.1.85:2678, tcp 127.0.0.2:4000"},
      {"payload_peer_records", "answer: multicast 224.0.1.85:2678, tcp 127.0.0.2:4000"},
      {"spy_chat_tcp", "message type 7, header \"abc\", 5 data bytes"},
      {"payload_chat",
       "message type 66, header \"Gr\xC3\xB6\xC3\x9F"
       "e \xE2\x9C\x93\", 8 data bytes"},
      {"spy_session_force", "opened type 3 with \"bob_KVZ\""},
      {"spy_fragment_last", "last fragment of group 1694498817, 4 payload bytes"},
      {"fragment_first", "first fragment of group 1694498818, 4 payload bytes of 1200"},
  };
  for (const auto& [golden, summary] : cases) {
    std::string malformed;
    EXPECT_EQ(Decode(LoadGolden(golden), malformed).summary, summary) << golden;
    EXPECT_EQ(malformed, "") << golden;
  }
}

// header_multicast carries a status payload that peers refuse; altered field by field, it breaks each rule
// of the header in turn. The first rule broken is the one reported.
TEST(SpyDecoder, TellsWhyPeersRefuseABlock) {
  const struct {
    size_t size;  // of the altered block, padded with zeros
    size_t at;
    std::vector<uint8_t> bytes;  // written at offset at
    const char* reason;
  } cases[] = {
      {99,
       0,
       {},
       "a status payload of 10 bytes that does not hold kind, status, a description count of 1 or more "
       "and as many bytes"},
      {87, 0, {}, "87 bytes, fewer than the 88 of the fixed part"},
      {1100, 0, {}, "a datagram of 1100 bytes, longer than the 1024 peers read"},
      {99, 0, {0, 0, 0, 100}, "totalLength 100 beyond the 99 bytes received"},
      {99, 4, {0, 80}, "headerLength 80 below 88"},
      {99, 4, {0, 100}, "totalLength 99 below headerLength 100"},
      {99, 8, {0, 87}, "the group path (offset 87, 1 bytes) lies outside the header"},
      {99, 10, {0, 2}, "the group path (offset 88, 2 bytes) lies outside the header"},
      {99, 44, std::vector<uint8_t>(32, 'x'), "senderName without its zero byte"},
      {99, 6, {0}, "version 0, which peers ignore"},
      {99, 7, {0x10}, "mode 0x10 is neither a whole message nor a fragment"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = LoadGolden("header_multicast");
    bytes.resize(c.size);
    std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + c.at);
    std::string malformed;
    EXPECT_EQ(Decode(bytes, malformed).malformed, c.reason);
    EXPECT_EQ(malformed, c.reason);
  }
}
