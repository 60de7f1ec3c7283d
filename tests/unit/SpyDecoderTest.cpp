// The spy's decoding of whole blocks written down byte by byte in tests/golden/: every service's payload,
// both transports' address fields, a fragment, and a block a peer would refuse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VELConsoleJsonReader.h"
#include "VELSpyDecoder.h"
#include "support/GoldenVectors.h"

TEST(SpyDecoder, DecodesGoldenBlocksFieldByField) {
  struct Case {
    const char* golden;
    const char* summary;
    std::vector<std::string> fields;  // key=value, numbers as written
    const char* malformed;
  };
  const Case cases[] = {
      {"spy_awareness_birth",
       "birth pid 12345: multicast 224.0.1.85:2678, tcp 127.0.0.1:50000",
       {"totalLength=112", "headerLength=89", "version=1", "mode=18", "modeFlags=whole multicast",
        "groupOffset=88", "groupLength=1", "senderAddress=224.0.1.85", "otherAddress=127.0.0.1",
        "senderPort=2678", "otherPort=50000", "group=/", "payloadLength=23", "kind=birth", "pid=12345"},
       ""},
      {"spy_status_change", "change 3 \"busy\"", {"status=3", "description=busy"}, ""},
      {"spy_group_root",
       "publishes \"P2PRoot\"",
       {"senderName=bob_ON_host#42", "group=", "component=P2PRoot"},
       ""},
      {"spy_peer_present",
       "present: multicast 224.0.1.85:2678, tcp 127.0.0.2:4000",
       {"group=/P2PRoot/Design", "recordCount=2"},
       ""},
      {"spy_chat_tcp",
       "message type 7, header \"abc\", 5 data bytes",
       {"modeFlags=whole tcp", "senderAddress=127.0.0.1", "otherAddress=224.0.1.85", "dataHex=0102030405"},
       ""},
      {"spy_session_force", "opened type 3 with \"bob_KVZ\"", {"group=/Force", "otherPeer=bob_KVZ"}, ""},
      {"spy_fragment_last",
       "last fragment of group 1694498817, 4 payload bytes",
       {"fragment=last", "MsgGrpId=1694498817", "otherAddress=127.0.0.1", "senderPort=2678"},
       ""},
      // A status payload of ten digits: the description's length, "6789" read little-endian, is far beyond.
      {"header_multicast",
       "",
       {"kind=change", "status=875770417"},
       "a description of 943142453 bytes where 1 are left"},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = LoadGolden(c.golden);
    ASSERT_FALSE(bytes.empty()) << c.golden;
    VELConsoleJson json;
    const VELSpyDecoder::Block block = VELSpyDecoder().Decode(bytes.data(), bytes.size(), true, json);
    EXPECT_EQ(block.summary, c.summary) << c.golden;
    EXPECT_EQ(block.malformed, c.malformed) << c.golden;
    VELConsoleJsonReader record;
    ASSERT_TRUE(record.Parse(json.Text())) << json.Text();
    EXPECT_EQ(record.Number("bytes"), static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(record.Text("malformed"), c.malformed);
    for (const std::string& field : c.fields) {
      const std::string key = field.substr(0, field.find('='));
      EXPECT_EQ(record.Has(key) ? key + "=" + record.Fields().at(key).text : "no " + key, field) << c.golden;
    }
  }
}
