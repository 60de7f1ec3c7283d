// The console's JSON records: escaping, UTF-8 repair, numbers and lists, and reading records back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VELConsoleJson.h"
#include "VELConsoleJsonReader.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

std::string Quoted(const std::string& text) {
  return VELConsoleJson::Quote(text);
}

}  // namespace

TEST(ConsoleJson, FieldsInOrderWithNumbersAsNumbers) {
  VELConsoleJson json;
  json.AddText("command", "GetConnectedPeers")
      .AddNumber("result", static_cast<int32_t>(0x80004005))
      .AddList("peers", {"alice_KVZ", "bob_KVZ"})
      .AddList("none", {});
  EXPECT_EQ(json.Text(),
            "{\"command\":\"GetConnectedPeers\",\"result\":-2147467259,\"peers\":[\"alice_KVZ\",\"bob_KVZ\"],"
            "\"none\":[]}");
  EXPECT_EQ(VELConsoleJson().Text(), "{}");
}

TEST(ConsoleJson, EscapesQuoteBackslashAndEveryControlCharacter) {
  EXPECT_EQ(Quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(Quoted(std::string("\x00\x01\n\r\t\x1f", 6)), "\"\\u0000\\u0001\\u000a\\u000d\\u0009\\u001f\"");
  // DEL and slash need no escape.
  EXPECT_EQ(Quoted("\x7f/"), "\"\x7f/\"");
}

TEST(ConsoleJson, KeepsWellFormedUtf8) {
  const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF";  // é € 😀 U+10FFFF
  EXPECT_EQ(VELConsoleJson::ValidUtf8(text), text);
}

TEST(ConsoleJson, ReplacesEachMalformedByte) {
  const std::string r = kReplacement;
  // A lone continuation byte, a byte that never appears in UTF-8, a truncated sequence at the end.
  EXPECT_EQ(VELConsoleJson::ValidUtf8("a\x80"
                                      "b\xFF"
                                      "c\xE2\x82"),
            "a" + r + "b" + r + "c" + r + r);
  // Overlong forms of "/" and of U+0000.
  EXPECT_EQ(VELConsoleJson::ValidUtf8("\xC0\xAF"), r + r);
  EXPECT_EQ(VELConsoleJson::ValidUtf8("\xE0\x80\x80"), r + r + r);
  // A UTF-16 surrogate encoded in UTF-8, and a code point past U+10FFFF.
  EXPECT_EQ(VELConsoleJson::ValidUtf8("\xED\xA0\x80"), r + r + r);
  EXPECT_EQ(VELConsoleJson::ValidUtf8("\xF4\x90\x80\x80"), r + r + r + r);
  // A sequence cut short by an ASCII byte keeps the ASCII byte.
  EXPECT_EQ(VELConsoleJson::ValidUtf8("\xC3z"), r + "z");
}

TEST(ConsoleJson, EveryByteStringGivesALineThatReadsBack) {
  // Each of the 256 byte values, alone and after a lead byte, survives as valid JSON on one line.
  for (int first = 0; first < 256; ++first) {
    for (int lead : {-1, 0xC3, 0xE2, 0xF0}) {
      std::string text;
      if (lead >= 0)
        text += static_cast<char>(lead);
      text += static_cast<char>(first);
      std::string line = VELConsoleJson().AddText("header", text).Text();
      EXPECT_EQ(line.find('\n'), std::string::npos);
      VELConsoleJsonReader reader;
      ASSERT_TRUE(reader.Parse(line)) << line;
      EXPECT_EQ(reader.Text("header"), VELConsoleJson::ValidUtf8(text));
    }
  }
}

TEST(ConsoleJsonReader, ReadsWhatTheWriterWrites) {
  VELConsoleJson json;
  json.AddText("event", "VELP2PGroupModifNotif")
      .AddText("peerName", "a \"b\" \\ c\n")
      .AddNumber("status", -3)
      .AddList("subGroups", {"Design", "Team 1", ""});
  VELConsoleJsonReader reader;
  ASSERT_TRUE(reader.Parse(json.Text()));
  EXPECT_EQ(reader.Text("event"), "VELP2PGroupModifNotif");
  EXPECT_EQ(reader.Text("peerName"), "a \"b\" \\ c\n");
  EXPECT_EQ(reader.Number("status"), -3);
  EXPECT_EQ(reader.List("subGroups"), std::vector<std::string>({"Design", "Team 1", ""}));
  EXPECT_FALSE(reader.Has("missing"));
  EXPECT_EQ(reader.Number("missing", 9), 9);
  EXPECT_EQ(reader.Number("event", 9), 9);  // not a number
}

TEST(ConsoleJsonReader, DecodesUnicodeEscapesAndSurrogatePairs) {
  VELConsoleJsonReader reader;
  ASSERT_TRUE(reader.Parse("{\"t\":\"\\u00e9\\u20ac\\ud83d\\ude00\\/\\b\\f\\t\"}"));
  EXPECT_EQ(reader.Text("t"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80/\b\f\t");
}

TEST(ConsoleJsonReader, AcceptsWhiteSpaceAndOtherValueKinds) {
  VELConsoleJsonReader reader;
  ASSERT_TRUE(reader.Parse(
      "  { \"a\" : 1 , \"b\" : [ 2 , \"x\" ] , \"c\" : true , \"d\" : null , \"e\" : -1.5e3 }  "));
  EXPECT_EQ(reader.Number("a"), 1);
  EXPECT_EQ(reader.List("b"), std::vector<std::string>({"2", "x"}));
  EXPECT_EQ(reader.Fields().at("c").kind, VELConsoleJsonValue::kBool);
  EXPECT_EQ(reader.Fields().at("d").kind, VELConsoleJsonValue::kNull);
  EXPECT_EQ(reader.Fields().at("e").text, "-1.5e3");
  EXPECT_TRUE(reader.Parse("{}"));
  EXPECT_TRUE(reader.Fields().empty());
}

TEST(ConsoleJsonReader, RefusesWhatIsNotOneFlatObject) {
  VELConsoleJsonReader reader;
  for (const char* line : {"",
                           "[]",
                           "\"x\"",
                           "{",
                           "{\"a\":1",
                           "{\"a\":1,}",
                           "{\"a\" 1}",
                           "{a:1}",
                           "{\"a\":1} x",
                           "{\"a\":{\"b\":1}}",
                           "{\"a\":[[1]]}",
                           "{\"a\":\"unterminated}",
                           "{\"a\":\"\\x\"}",
                           "{\"a\":\"\\u12\"}",
                           "{\"a\":\"\\udc00\"}",
                           "{\"a\":\"\\ud800x\"}",
                           "{\"a\":01x}",
                           "{\"a\":-}",
                           "{\"a\":tru}",
                           "{\"a\":\"raw\ttab\"}"}) {
    EXPECT_FALSE(reader.Parse(line)) << line;
  }
}

TEST(ConsoleJsonReader, HugeIntegerIsKeptAsTextWithValueZero) {
  VELConsoleJsonReader reader;
  ASSERT_TRUE(reader.Parse("{\"n\":123456789012345678901234567890}"));
  EXPECT_EQ(reader.Number("n", 5), 0);
  EXPECT_EQ(reader.Fields().at("n").text, "123456789012345678901234567890");
}
