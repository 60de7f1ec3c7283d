// The console's text: what it shows people of the network's texts, JSON records as written, the command-line
// syntax, numbers and data. The JSON reader serves the tests and the demo only; its fuzz target holds it to
// reading back whatever the writer writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VELConsoleJson.h"
#include "VELConsoleLine.h"
#include "VELConsoleText.h"

namespace {

typedef std::vector<std::string> Words;
const std::string r = "\xEF\xBF\xBD";  // U+FFFD

TEST(ConsoleJson, WritesFieldsInOrderEscapedAndAsValidUtf8) {
  EXPECT_EQ(VELConsoleJson()
                .AddText("command", "GetConnectedPeers")
                .AddNumber("result", static_cast<int32_t>(0x80004005))
                .AddList("peers", {"alice_KVZ", "bob_KVZ"})
                .AddList("none", {})
                .Text(),
            "{\"command\":\"GetConnectedPeers\",\"result\":-2147467259,\"peers\":[\"alice_KVZ\",\"bob_KVZ\"],"
            "\"none\":[]}");
  const std::pair<std::string, std::string> quoted[] = {
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("\x00\x01\n\r\t\x1f", 6), "\"\\u0000\\u0001\\u000a\\u000d\\u0009\\u001f\""},
      {"\x7f/", "\"\x7f/\""},
  };
  for (const auto& [text, json] : quoted)
    EXPECT_EQ(VELConsoleJson::Quote(text), json);
  // Well-formed UTF-8 is kept (U+10FFFF included); each byte of a malformed sequence becomes U+FFFD: a lone
  // continuation, a byte never used, a cut sequence, overlong forms, a surrogate, a code point too high.
  const std::pair<std::string, std::string> repaired[] = {
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF", ""},
      {"a\x80"
       "b\xFF"
       "c\xE2\x82",
       "a" + r + "b" + r + "c" + r + r},
      {"\xC0\xAF", r + r},
      {"\xE0\x80\x80", r + r + r},
      {"\xED\xA0\x80", r + r + r},
      {"\xF4\x90\x80\x80", r + r + r + r},
      {"\xC3z", r + "z"},
  };
  for (const auto& [text, valid] : repaired)
    EXPECT_EQ(VELConsoleText::ValidUtf8(text), valid.empty() ? text : valid);
}

// What a terminal is given of a peer's text: a control character in any form written out, broken UTF-8
// replaced, every other character kept as it came.
TEST(ConsoleText, ShowsControlCharactersAndBrokenUtf8Visibly) {
  const struct {
    std::string text, shown, quoted;  // quoted: empty when it is the shown text in plain quotes
  } cases[] = {
      {"caf\xC3\xA9 \xE2\x98\x95 Gr\xC3\xB6\xC3\x9F\xC3\xA9 \xC2\xA0\xF4\x8F\xBF\xBF", "", ""},
      {"esc\x1b[31mRED\x1b]0;title\x07", "esc\\x1b[31mRED\\x1b]0;title\\x07", ""},
      {std::string("\0\r\n\t\x1f\x7f", 6), "\\x00\\x0d\\x0a\\x09\\x1f\\x7f", ""},
      {"a\xC2\x80"
       "b\xC2\x85"
       "c\xC2\x9F",
       "a\\u0080b\\u0085c\\u009f", ""},
      // A lone C1 byte, which some terminals take as a control, is broken UTF-8 like the others.
      {"\x9B"
       "1m\xFF"
       "a\xE2\x82"
       "b\xC0\xAF",
       r + "1m" + r + "a" + r + r + "b" + r + r, ""},
      {"C:\\dir \"q\"\x1b", "C:\\dir \"q\"\\x1b", "\"C:\\\\dir \\\"q\\\"\\x1b\""},
  };
  for (const auto& c : cases) {
    const std::string shown = c.shown.empty() ? c.text : c.shown;
    EXPECT_EQ(VELConsoleText::Shown(c.text), shown);
    EXPECT_EQ(VELConsoleText::Quoted(c.text), c.quoted.empty() ? "\"" + shown + "\"" : c.quoted);
    EXPECT_EQ(VELConsoleText::IsPlain(c.text), c.shown.empty());
    EXPECT_EQ(VELConsoleText::Shown(shown), shown);  // nothing shown is shown differently a second time
  }
}

TEST(ConsoleLine, SplitsQuotesAndEscapes) {
  const std::pair<std::string, Words> cases[] = {
      {"  SendP2PMessage\tbob  1 \t head  data  ", {"SendP2PMessage", "bob", "1", "head", "data"}},
      {" \t \r", {}},
      {"x \"a b\"\r", {"x", "a b"}},
      {"SendP2PMessage bob 1 \"\" data", {"SendP2PMessage", "bob", "1", "", "data"}},
      {"x \"a \\\"q\\\" \\\\ b\"", {"x", "a \"q\" \\ b"}},
      {"x \"C:\\temp\\new\" C:\\temp", {"x", "C:\\temp\\new", "C:\\temp"}},
      {"x \"ends with \\\\\"", {"x", "ends with \\"}},
      {"ab\"c d\"ef \"x\"\"y\"", {"abc def", "xy"}},
  };
  for (const auto& [line, words] : cases) {
    Words split;
    std::string error;
    EXPECT_TRUE(VELConsoleLine::Split(line, split, error)) << line;
    EXPECT_EQ(split, words) << line;
  }
  EXPECT_EQ(VELConsoleLine::Quote("plain"), "plain");
  Words split;
  std::string error;
  EXPECT_FALSE(VELConsoleLine::Split("say \"hello", split, error));
  EXPECT_NE(error.find("column 5"), std::string::npos) << error;
  EXPECT_FALSE(VELConsoleLine::Split("say \"hello\\\"", split, error));
}

TEST(ConsoleLine, NumbersAndData) {
  // 42 stands for a refusal, which leaves the value alone.
  const std::pair<const char*, int32_t> numbers[] = {{"2147483647", 2147483647},
                                                     {"-2147483648", INT32_MIN},
                                                     {"0x7fffffff", 0x7fffffff},
                                                     {"-0x10", -16},
                                                     {"+7", 7},
                                                     {"010", 10},
                                                     {"2147483648", 42},
                                                     {"-2147483649", 42},
                                                     {"", 42},
                                                     {"-", 42},
                                                     {"0x", 42}};
  for (const auto& [text, value] : numbers) {
    int32_t parsed = 42;
    EXPECT_EQ(VELConsoleLine::ParseInt32(text, parsed), value != 42) << text;
    EXPECT_EQ(parsed, value) << text;
  }
  uint8_t byte = 0;
  EXPECT_TRUE(VELConsoleLine::ParseByte("255", byte) && byte == 255);
  EXPECT_FALSE(VELConsoleLine::ParseByte("256", byte) || VELConsoleLine::ParseByte("-1", byte));
  const std::pair<const char*, std::string> data[] = {{"h\xC3\xA9llo", "h\xC3\xA9llo"},
                                                      {"HEX:00", "HEX:00"},
                                                      {"hex:00ff0A0d", std::string("\x00\xff\x0a\x0d", 4)},
                                                      {"hex:", ""},
                                                      {"hex:abc", "!"}};
  for (const auto& [text, bytes] : data) {
    std::string parsed, error;
    EXPECT_EQ(VELConsoleLine::ParseData(text, parsed, error), bytes != "!") << text;
    if (bytes != "!")
      EXPECT_EQ(parsed, bytes);
    else
      EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(VELConsoleLine::Hex("\x00\xAB\x7f", 3), "00ab7f");
}

}  // namespace
