// UTF-8 strings: character and byte counts, searches in characters, comparison, conversions, string lists.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <tuple>

#include "velp2p/VELUnicodeString.h"

namespace {

TEST(UnicodeString, CountsCharactersAndBytesSeparately) {
  // "é" is C3 A9, "日本" E6 97 A5 E6 9C AC, "😀" F0 9F 98 80. Bytes that form no character count one each:
  // a lone continuation byte, a truncated sequence (also before a valid character), an overlong "/", an
  // encoded surrogate.
  const std::tuple<const char*, int, int> cases[] = {
      {"caf\xC3\xA9", 4, 5},        {"\xE6\x97\xA5\xE6\x9C\xAC", 2, 6},
      {"a\xF0\x9F\x98\x80z", 3, 6}, {"a\x80-", 3, 3},
      {"x\xE6\x97", 3, 3},          {"\xE6\xC3\xA9", 2, 3},
      {"\xC0\xAF", 2, 2},           {"\xED\xA0\x80", 3, 3}};
  for (const auto& [text, chars, bytes] : cases) {
    EXPECT_EQ(VELUnicodeString(text).GetLengthInChar(), chars) << text;
    EXPECT_EQ(VELUnicodeString(text).GetLengthInByte(), bytes) << text;
  }
  const char embedded[] = {'a', '\0', 'b'};
  EXPECT_EQ(VELUnicodeString(embedded, 3).GetLengthInChar(), 3);
  EXPECT_TRUE(VELUnicodeString(embedded, -1).IsEmpty());
  EXPECT_TRUE(VELUnicodeString(nullptr, 4).IsEmpty());
}

TEST(UnicodeString, SearchesReturnCharacterPositionsAndNeverMatchInsideACharacter) {
  VELUnicodeString text("\xC3\xA9t\xC3\xA9/\xE6\x97\xA5/x");  // "été/日/x"
  const std::tuple<const char*, int, int> cases[] = {{"/", 0, 3},  {"/", 4, 5},           {"/", 6, -1},
                                                     {"x", 0, 6},  {"q", 0, -1},          {"/", 100, -1},
                                                     {"/", -5, 3}, {"\xE6\x97\xA5", 0, 4}};
  for (const auto& [needle, from, found] : cases) {
    EXPECT_EQ(text.SearchSubString(needle, from), found) << needle << " from " << from;
  }
  // A9 is the second byte of "é"; as a needle it is an invalid byte of its own.
  EXPECT_EQ(VELUnicodeString("\xC3\xA9-\xA9").SearchSubString("\xA9"), 2);
  VELUnicodeString path("/P2PRoot/Design");
  EXPECT_EQ(path.SearchSubString("design"), -1);
  EXPECT_EQ(path.SearchSubString("design", 0, 0), 9);  // mode 0 folds ASCII case
  EXPECT_EQ(path.SearchSubString("", 4), 4);
}

TEST(UnicodeString, SubStringCutsInCharactersAndClamps) {
  VELUnicodeString text("a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80");  // "aé日😀"
  EXPECT_EQ(text.SubString(1, 2), VELUnicodeString("\xC3\xA9\xE6\x97\xA5"));
  EXPECT_EQ(text.SubString(2, 100), VELUnicodeString("\xE6\x97\xA5\xF0\x9F\x98\x80"));
  EXPECT_EQ(text.SubString(-3, 1), VELUnicodeString("a"));
  const std::pair<int, int> outside[] = {{4, 1}, {99, 3}, {0, 0}, {0, -1}};
  for (auto [start, count] : outside)
    EXPECT_TRUE(text.SubString(start, count).IsEmpty()) << start << "," << count;
}

TEST(UnicodeString, CompareAnswers2ForSameBytes1ForAsciiCaseOnlyAnd0Otherwise) {
  const std::tuple<const char*, const char*, int> cases[] = {
      {"Designer", "Designer", 2},
      {"Designer", "dESIGNER", 1},
      {"Designer", "Designers", 0},
      {"\xC3\x89", "\xC3\xA9", 0},  // "É" is not folded
      {"", "", 2}};
  for (const auto& [a, b, answer] : cases)
    EXPECT_EQ(VELUnicodeString(a).Compare(b), answer) << a << " " << b;
  EXPECT_TRUE(VELUnicodeString() == static_cast<const char*>(nullptr));
  VELUnicodeString upper("MiXeD-\xC3\x89");
  upper.ToLower();
  EXPECT_EQ(upper, "mixed-\xC3\x89");
}

TEST(UnicodeString, ConvertToUTF8RefusesTooSmallBuffersAndBuildFromUTF8KeepsBytes) {
  VELUnicodeString text("caf\xC3\xA9");
  char buffer[8];
  std::memset(buffer, 'X', sizeof(buffer));
  int count = -1;
  EXPECT_LT(text.ConvertToUTF8(buffer, 4, count), 0);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(buffer[0], 'X');
  EXPECT_GE(text.ConvertToUTF8(buffer, 5, count), 0);
  EXPECT_EQ(std::memcmp(buffer, "caf\xC3\xA9", 5), 0);
  EXPECT_EQ(buffer[5], 'X');  // exactly the bytes, no room for a terminator
  EXPECT_GE(text.ConvertToUTF8(buffer, 8, count), 0);
  EXPECT_EQ(buffer[5], '\0');

  // The other way, bytes are kept as given, valid or not; bad arguments leave the string alone.
  EXPECT_LT(text.BuildFromUTF8("abc", -1), 0);
  EXPECT_EQ(text, "caf\xC3\xA9");
  EXPECT_GE(text.BuildFromUTF8("x\xFFy", 3), 0);
  EXPECT_EQ(text, "x\xFFy");
}

TEST(UnicodeString, ConvertToWCharDecodesCodePoints) {
  VELUnicodeString text("a\xC3\xA9\xF0\x9F\x98\x80\xFF");
  EXPECT_EQ(text.ConvertToWChar(nullptr, 0), 4);
  wchar_t wide[5];
  EXPECT_LT(text.ConvertToWChar(wide, 4), 0);  // no room for the terminator
  ASSERT_EQ(text.ConvertToWChar(wide, 5), 4);
  const wchar_t expected[] = {L'a', 0xE9, 0x1F600, 0xFFFD, L'\0'};
  EXPECT_EQ(std::wmemcmp(wide, expected, 5), 0);
}

}  // namespace
