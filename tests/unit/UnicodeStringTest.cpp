#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>

#include "velp2p/VELListValVELUnicodeString.h"
#include "velp2p/VELString.h"
#include "velp2p/VELUnicodeString.h"

namespace {

// "é" is C3 A9, "日本" E6 97 A5 E6 9C AC, "😀" F0 9F 98 80.
const char kAccented[] = "caf\xC3\xA9";
const char kCjk[] = "\xE6\x97\xA5\xE6\x9C\xAC";
const char kEmoji[] = "a\xF0\x9F\x98\x80z";

TEST(UnicodeStringLength, CountsCharactersAndBytesSeparately) {
  EXPECT_EQ(VELUnicodeString("hello").GetLengthInChar(), 5);
  EXPECT_EQ(VELUnicodeString("hello").GetLengthInByte(), 5);
  EXPECT_EQ(VELUnicodeString(kAccented).GetLengthInChar(), 4);
  EXPECT_EQ(VELUnicodeString(kAccented).GetLengthInByte(), 5);
  EXPECT_EQ(VELUnicodeString(kCjk).GetLengthInChar(), 2);
  EXPECT_EQ(VELUnicodeString(kCjk).GetLengthInByte(), 6);
  EXPECT_EQ(VELUnicodeString(kEmoji).GetLengthInChar(), 3);
  EXPECT_EQ(VELUnicodeString(kEmoji).GetLengthInByte(), 6);
  EXPECT_EQ(VELUnicodeString().GetLengthInChar(), 0);
  EXPECT_TRUE(VELUnicodeString(nullptr).IsEmpty());
}

TEST(UnicodeStringLength, CountsEachInvalidByteAsOneCharacter) {
  // A lone continuation byte, a truncated 3-byte sequence at the end, an overlong "/" (C0 AF), and an encoded
  // surrogate (ED A0 80): none forms a character, so every byte counts alone.
  EXPECT_EQ(VELUnicodeString("a\x80"
                             "b")
                .GetLengthInChar(),
            3);
  EXPECT_EQ(VELUnicodeString("x\xE6\x97").GetLengthInChar(), 3);
  EXPECT_EQ(VELUnicodeString("\xC0\xAF").GetLengthInChar(), 2);
  EXPECT_EQ(VELUnicodeString("\xED\xA0\x80").GetLengthInChar(), 3);
  // A truncated sequence followed by a valid character: the valid one still counts once.
  EXPECT_EQ(VELUnicodeString("\xE6\xC3\xA9").GetLengthInChar(), 2);
}

TEST(UnicodeStringLength, KeepsEmbeddedBytesGivenWithLength) {
  const char bytes[] = {'a', '\0', 'b'};
  VELUnicodeString text(bytes, 3);
  EXPECT_EQ(text.GetLengthInByte(), 3);
  EXPECT_EQ(text.GetLengthInChar(), 3);
  EXPECT_TRUE(VELUnicodeString(bytes, -1).IsEmpty());
  EXPECT_TRUE(VELUnicodeString(nullptr, 4).IsEmpty());
}

TEST(UnicodeStringSearch, ReturnsCharacterPositions) {
  VELUnicodeString text("\xC3\xA9t\xC3\xA9/\xE6\x97\xA5/x");  // "été/日/x"
  EXPECT_EQ(text.SearchSubString("/"), 3);
  EXPECT_EQ(text.SearchSubString("/", 4), 5);
  EXPECT_EQ(text.SearchSubString("/", 6), -1);
  EXPECT_EQ(text.SearchSubString("x"), 6);
  EXPECT_EQ(text.SearchSubString("\xE6\x97\xA5"), 4);
  EXPECT_EQ(text.SearchSubString("q"), -1);
  EXPECT_EQ(text.SearchSubString("/", 100), -1);
  EXPECT_EQ(text.SearchSubString("/", -5), 3);
}

TEST(UnicodeStringSearch, NeverMatchesInsideAMultiByteCharacter) {
  // A9 is the second byte of "é"; as a needle it is an invalid byte and must not be found inside "é".
  VELUnicodeString text(
      "\xC3\xA9"
      "a\xA9");
  EXPECT_EQ(text.SearchSubString("\xA9"), 2);
}

TEST(UnicodeStringSearch, FoldsAsciiCaseOnlyInMode0) {
  VELUnicodeString text("/P2PRoot/Design");
  EXPECT_EQ(text.SearchSubString("design"), -1);
  EXPECT_EQ(text.SearchSubString("design", 0, 0), 9);
  EXPECT_EQ(text.SearchSubString("", 4), 4);
}

TEST(UnicodeStringSearch, SubStringCutsInCharactersAndClamps) {
  VELUnicodeString text("a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80");  // "aé日😀"
  EXPECT_EQ(text.SubString(1, 2), VELUnicodeString("\xC3\xA9\xE6\x97\xA5"));
  EXPECT_EQ(text.SubString(3, 1), VELUnicodeString("\xF0\x9F\x98\x80"));
  EXPECT_EQ(text.SubString(2, 100), VELUnicodeString("\xE6\x97\xA5\xF0\x9F\x98\x80"));
  EXPECT_EQ(text.SubString(-3, 1), VELUnicodeString("a"));
  EXPECT_TRUE(text.SubString(4, 1).IsEmpty());
  EXPECT_TRUE(text.SubString(99, 3).IsEmpty());
  EXPECT_TRUE(text.SubString(0, 0).IsEmpty());
  EXPECT_TRUE(text.SubString(0, -1).IsEmpty());
}

TEST(UnicodeStringSearch, SplitsAGroupPathAtItsLastSeparator) {
  VELUnicodeString path("/P2PRoot/Design/Team");
  int last = -1;
  for (int at = path.SearchSubString("/"); at >= 0; at = path.SearchSubString("/", at + 1))
    last = at;
  ASSERT_EQ(last, 15);
  EXPECT_EQ(path.SubString(0, last), "/P2PRoot/Design");
  EXPECT_EQ(path.SubString(last + 1, path.GetLengthInChar() - last - 1), "Team");
}

TEST(UnicodeStringCompare, Answers2ForSameBytes1ForAsciiCaseOnlyAnd0Otherwise) {
  EXPECT_EQ(VELUnicodeString("Designer").Compare("Designer"), 2);
  EXPECT_EQ(VELUnicodeString("Designer").Compare("dESIGNER"), 1);
  EXPECT_EQ(VELUnicodeString("Designer").Compare("Designers"), 0);
  EXPECT_EQ(VELUnicodeString("Designer").Compare("Desigmer"), 0);
  // Non-ASCII letters are not folded: "É" and "é" differ.
  EXPECT_EQ(VELUnicodeString("\xC3\x89").Compare("\xC3\xA9"), 0);
  EXPECT_EQ(VELUnicodeString().Compare(""), 2);
}

TEST(UnicodeStringCompare, EqualityWithTextAndOrdering) {
  VELUnicodeString name("peer");
  EXPECT_TRUE(name == "peer");
  EXPECT_TRUE("peer" == name);
  EXPECT_TRUE(name != "Peer");
  EXPECT_TRUE(VELUnicodeString() == static_cast<const char*>(nullptr));
  EXPECT_TRUE(VELUnicodeString("a") < VELUnicodeString("b"));
  EXPECT_FALSE(VELUnicodeString("b") < VELUnicodeString("a"));
  VELUnicodeString upper("MiXeD-\xC3\x89");
  upper.ToLower();
  EXPECT_EQ(upper, "mixed-\xC3\x89");
}

TEST(UnicodeStringConversion, ConvertToUTF8RefusesTooSmallBuffersAndTerminatesWhenRoomAllows) {
  VELUnicodeString text(kAccented);
  char buffer[8];
  std::memset(buffer, 'X', sizeof(buffer));
  int count = -1;
  EXPECT_LT(text.ConvertToUTF8(buffer, 4, count), 0);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(buffer[0], 'X');
  EXPECT_GE(text.ConvertToUTF8(buffer, 5, count), 0);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(std::memcmp(buffer, kAccented, 5), 0);
  EXPECT_EQ(buffer[5], 'X');  // exactly the bytes, no room for a terminator
  EXPECT_GE(text.ConvertToUTF8(buffer, 8, count), 0);
  EXPECT_EQ(buffer[5], '\0');
  EXPECT_LT(text.ConvertToUTF8(nullptr, 8, count), 0);
}

TEST(UnicodeStringConversion, BuildFromUTF8KeepsBytesAndRejectsBadArguments) {
  VELUnicodeString text("old");
  EXPECT_LT(text.BuildFromUTF8(nullptr, 3), 0);
  EXPECT_LT(text.BuildFromUTF8("abc", -1), 0);
  EXPECT_EQ(text, "old");
  const char invalid[] = "x\xFFy";
  EXPECT_GE(text.BuildFromUTF8(invalid, 3), 0);
  EXPECT_EQ(text.GetLengthInByte(), 3);
  EXPECT_EQ(text, invalid);
  EXPECT_GE(text.BuildFromUTF8(nullptr, 0), 0);
  EXPECT_TRUE(text.IsEmpty());
}

TEST(UnicodeStringConversion, ConvertToWCharDecodesCodePoints) {
  VELUnicodeString text("a\xC3\xA9\xF0\x9F\x98\x80\xFF");
  EXPECT_EQ(text.ConvertToWChar(nullptr, 0), 4);
  wchar_t wide[5];
  EXPECT_LT(text.ConvertToWChar(wide, 4), 0);  // no room for the terminator
  ASSERT_EQ(text.ConvertToWChar(wide, 5), 4);
  EXPECT_EQ(wide[0], L'a');
  EXPECT_EQ(wide[1], static_cast<wchar_t>(0xE9));
  EXPECT_EQ(wide[2], static_cast<wchar_t>(0x1F600));
  EXPECT_EQ(wide[3], static_cast<wchar_t>(0xFFFD));
  EXPECT_EQ(wide[4], L'\0');
}

TEST(UnicodeStringConversion, AppendAcceptsStringsAndNullText) {
  VELUnicodeString text("/P2PRoot");
  text.Append("/").Append(VELUnicodeString("Design"));
  text += static_cast<const char*>(nullptr);
  text += "/";
  EXPECT_EQ(text, "/P2PRoot/Design/");
}

TEST(StringLists, ValueListIsOneBasedAndSafeOutsideItsRange) {
  VELListValVELUnicodeString list;
  list.Append("a");
  list.Append("b");
  list.Append("c");
  EXPECT_EQ(list.Size(), 3);
  EXPECT_EQ(list[1], "a");
  EXPECT_EQ(list[3], "c");
  EXPECT_EQ(list.Locate("b"), 2);
  EXPECT_EQ(list.Locate("z"), 0);
  EXPECT_TRUE(list[0].IsEmpty());
  EXPECT_TRUE(list[4].IsEmpty());
  list[4] = "ignored";  // writes the scratch string, not the list
  EXPECT_EQ(list.Size(), 3);
  EXPECT_EQ(list.RemovePosition(2), 1);
  EXPECT_EQ(list.RemovePosition(3), 0);
  EXPECT_EQ(list[2], "c");
  list.RemoveAll();
  EXPECT_EQ(list.Size(), 0);
}

TEST(StringLists, EightBitStringComparesBytes) {
  VELString key("peer#1");
  EXPECT_EQ(key.GetLength(), 6);
  EXPECT_TRUE(key == "peer#1");
  EXPECT_TRUE(VELString("a") < VELString("b"));
  EXPECT_EQ(VELString("ab\0cd", 5).GetLength(), 5);
  EXPECT_TRUE(VELString(nullptr).IsEmpty());
}

}  // namespace
