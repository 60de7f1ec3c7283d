// The console's command-line syntax: splitting, quoting, escapes, numbers and application data.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VELConsoleLine.h"

namespace {

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> words;
  std::string error;
  EXPECT_TRUE(VELConsoleLine::Split(line, words, error)) << line << ": " << error;
  return words;
}

typedef std::vector<std::string> Words;

}  // namespace

TEST(ConsoleLine, SplitsOnRunsOfSpacesAndTabs) {
  EXPECT_EQ(Split("  SendP2PMessage\tbob  1 \t head  data  "),
            Words({"SendP2PMessage", "bob", "1", "head", "data"}));
}

TEST(ConsoleLine, BlankLineHasNoWords) {
  EXPECT_TRUE(Split("").empty());
  EXPECT_TRUE(Split(" \t ").empty());
  EXPECT_TRUE(Split("\r").empty());
}

TEST(ConsoleLine, IgnoresTheCarriageReturnOfAWindowsLineEnd) {
  EXPECT_EQ(Split("GetPeerName\r"), Words({"GetPeerName"}));
  EXPECT_EQ(Split("x \"a b\"\r"), Words({"x", "a b"}));
}

TEST(ConsoleLine, QuotedArgumentKeepsItsSpaces) {
  EXPECT_EQ(Split("ChangeP2PStatus 3 \"in a  meeting\""), Words({"ChangeP2PStatus", "3", "in a  meeting"}));
}

TEST(ConsoleLine, EmptyQuotesAreAnEmptyArgument) {
  EXPECT_EQ(Split("SendP2PMessage bob 1 \"\" data"), Words({"SendP2PMessage", "bob", "1", "", "data"}));
  EXPECT_EQ(Split("\"\""), Words({""}));
}

TEST(ConsoleLine, EscapesInsideQuotes) {
  // "a \"q\" \\ b" stands for: a "q" \ b
  EXPECT_EQ(Split("x \"a \\\"q\\\" \\\\ b\""), Words({"x", "a \"q\" \\ b"}));
}

TEST(ConsoleLine, OtherBackslashesStayAsTheyAre) {
  EXPECT_EQ(Split("x \"C:\\temp\\new\""), Words({"x", "C:\\temp\\new"}));
  EXPECT_EQ(Split("x C:\\temp"), Words({"x", "C:\\temp"}));
  // A backslash before the closing quote escapes it only when it is written \".
  EXPECT_EQ(Split("x \"ends with \\\\\""), Words({"x", "ends with \\"}));
}

TEST(ConsoleLine, TouchingPiecesFormOneArgument) {
  EXPECT_EQ(Split("ab\"c d\"ef \"x\"\"y\""), Words({"abc def", "xy"}));
}

TEST(ConsoleLine, UnterminatedQuoteIsAnErrorNamingItsColumn) {
  std::vector<std::string> words;
  std::string error;
  EXPECT_FALSE(VELConsoleLine::Split("say \"hello", words, error));
  EXPECT_NE(error.find("column 5"), std::string::npos) << error;
  // An escaped quote does not close the argument.
  EXPECT_FALSE(VELConsoleLine::Split("say \"hello\\\"", words, error));
}

TEST(ConsoleLine, LongLinesAreSplitWhole) {
  std::string big(20000, 'x');
  EXPECT_EQ(Split("SendP2PMessage bob 1 h \"" + big + " " + big + "\""),
            Words({"SendP2PMessage", "bob", "1", "h", big + " " + big}));
}

TEST(ConsoleLine, BytesOutsideAsciiPassThrough) {
  EXPECT_EQ(Split("x \"caf\xC3\xA9 \xFF\" \x01"), Words({"x", "caf\xC3\xA9 \xFF", "\x01"}));
}

TEST(ConsoleLine, QuoteRoundTripsThroughSplit) {
  for (const std::string& text :
       {std::string("plain"), std::string(""), std::string("two words"), std::string("a \"q\""),
        std::string("back\\slash"), std::string("\\\" mix")}) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(VELConsoleLine::Split("cmd " + VELConsoleLine::Quote(text), words, error)) << text;
    ASSERT_EQ(words.size(), 2u) << text;
    EXPECT_EQ(words[1], text);
  }
  EXPECT_EQ(VELConsoleLine::Quote("plain"), "plain");
}

TEST(ConsoleNumbers, Int32AcceptsItsWholeRangeInDecimalAndHex) {
  int32_t value = 0;
  EXPECT_TRUE(VELConsoleLine::ParseInt32("2147483647", value));
  EXPECT_EQ(value, 2147483647);
  EXPECT_TRUE(VELConsoleLine::ParseInt32("-2147483648", value));
  EXPECT_EQ(value, INT32_MIN);
  EXPECT_TRUE(VELConsoleLine::ParseInt32("0x7fffffff", value));
  EXPECT_EQ(value, 0x7fffffff);
  EXPECT_TRUE(VELConsoleLine::ParseInt32("-0x10", value));
  EXPECT_EQ(value, -16);
  EXPECT_TRUE(VELConsoleLine::ParseInt32("+7", value));
  EXPECT_EQ(value, 7);
  // Leading zeros are decimal, not octal.
  EXPECT_TRUE(VELConsoleLine::ParseInt32("010", value));
  EXPECT_EQ(value, 10);
}

TEST(ConsoleNumbers, Int32RefusesOverflowAndJunk) {
  int32_t value = 42;
  for (const char* text : {"2147483648", "-2147483649", "0x80000000", "99999999999999999999", "", "-", "0x",
                           "1.5", "12a", " 1", "1 ", "0x1g"}) {
    EXPECT_FALSE(VELConsoleLine::ParseInt32(text, value)) << text;
  }
  EXPECT_EQ(value, 42);
}

TEST(ConsoleNumbers, ByteIsZeroTo255) {
  uint8_t value = 0;
  EXPECT_TRUE(VELConsoleLine::ParseByte("255", value));
  EXPECT_EQ(value, 255);
  EXPECT_TRUE(VELConsoleLine::ParseByte("0", value));
  EXPECT_EQ(value, 0);
  EXPECT_FALSE(VELConsoleLine::ParseByte("256", value));
  EXPECT_FALSE(VELConsoleLine::ParseByte("-1", value));
}

TEST(ConsoleData, PlainTextIsItsOwnBytes) {
  std::string bytes;
  std::string error;
  ASSERT_TRUE(VELConsoleLine::ParseData("h\xC3\xA9llo", bytes, error));
  EXPECT_EQ(bytes, "h\xC3\xA9llo");
  ASSERT_TRUE(VELConsoleLine::ParseData("HEX:00", bytes, error));  // the prefix is lower-case only
  EXPECT_EQ(bytes, "HEX:00");
}

TEST(ConsoleData, HexPrefixGivesTheBytesIncludingZeros) {
  std::string bytes;
  std::string error;
  ASSERT_TRUE(VELConsoleLine::ParseData("hex:00ff0A0d", bytes, error));
  EXPECT_EQ(bytes, std::string("\x00\xff\x0a\x0d", 4));
  ASSERT_TRUE(VELConsoleLine::ParseData("hex:", bytes, error));
  EXPECT_TRUE(bytes.empty());
}

TEST(ConsoleData, BadHexIsRefused) {
  std::string bytes;
  std::string error;
  EXPECT_FALSE(VELConsoleLine::ParseData("hex:abc", bytes, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(VELConsoleLine::ParseData("hex:0g", bytes, error));
  EXPECT_FALSE(VELConsoleLine::ParseData("hex:0 ", bytes, error));
}

TEST(ConsoleData, HexIsLowerCaseTwoDigitsPerByte) {
  EXPECT_EQ(VELConsoleLine::Hex("\x00\xAB\x7f", 3), "00ab7f");
  EXPECT_EQ(VELConsoleLine::Hex(nullptr, 0), "");
}
