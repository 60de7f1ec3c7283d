// A Unicode text held as UTF-8, measured and cut in characters (code points) rather than bytes.
#ifndef VELP2P_VELUNICODESTRING_H
#define VELP2P_VELUNICODESTRING_H

#include <cstddef>
#include <string>
#include <utility>

#include "velp2p/VELExport.h"
#include "velp2p/VELResult.h"

// The 8-bit form of the text is its UTF-8 bytes. Bytes that are not valid UTF-8 are kept as given and each
// counts as one character, so every operation stays defined on any byte sequence.
class VELP2P_API VELUnicodeString {
 public:
  VELUnicodeString() = default;
  // A null text gives the empty string.
  VELUnicodeString(const char* text);  // NOLINT: implicit on purpose, the library passes literals everywhere
  // Takes length bytes; a null pointer or a negative length gives the empty string.
  VELUnicodeString(const char* bytes, int length);
  VELUnicodeString(const std::string& text) : _text(text) {}        // NOLINT: implicit like the 8-bit form
  VELUnicodeString(std::string&& text) : _text(std::move(text)) {}  // NOLINT
  VELUnicodeString(const VELUnicodeString& other) = default;
  VELUnicodeString(VELUnicodeString&& other) noexcept = default;
  VELUnicodeString& operator=(const VELUnicodeString& other) = default;
  VELUnicodeString& operator=(VELUnicodeString&& other) noexcept = default;
  ~VELUnicodeString() = default;

  int GetLengthInChar() const;
  int GetLengthInByte() const { return static_cast<int>(_text.size()); }
  bool IsEmpty() const { return _text.empty(); }
  // The UTF-8 bytes, zero-terminated; valid until the string is changed.
  const char* CastToCharPtr() const { return _text.c_str(); }
  const std::string& Str() const { return _text; }

  bool operator==(const VELUnicodeString& other) const { return _text == other._text; }
  bool operator!=(const VELUnicodeString& other) const { return _text != other._text; }
  // A null text equals the empty string.
  bool operator==(const char* text) const;
  bool operator!=(const char* text) const { return !(*this == text); }
  // Byte order, which is also code point order for valid UTF-8.
  bool operator<(const VELUnicodeString& other) const { return _text < other._text; }

  // 2 when both are the same bytes, 1 when they are equal once ASCII letters are folded, 0 otherwise.
  int Compare(const VELUnicodeString& other) const;

  // Copies the UTF-8 bytes into buffer and sets byteCount to their number; adds a terminating zero only when
  // capacity leaves room for it. Fails, writing nothing, when buffer is null or capacity is too small;
  // byteCount then holds the number of bytes needed.
  VELResult ConvertToUTF8(char* buffer, int capacity, int& byteCount) const;
  // Replaces the content with length bytes. Fails, leaving the string as it was, for a negative length or
  // a null pointer with a positive length.
  VELResult BuildFromUTF8(const char* bytes, int length);
  // Decodes into wide characters (an invalid byte becomes U+FFFD) and zero-terminates. Returns the number of
  // characters written without the terminator, or a negative result when capacity cannot hold them and the
  // terminator. With a null buffer, returns the number of characters the conversion needs (terminator
  // excluded).
  int ConvertToWChar(wchar_t* buffer, int capacity) const;

  // The character position of the first occurrence of text at or after character position start, or -1.
  // mode 0 folds ASCII letters; any other mode compares exactly. An empty text is found at start.
  int SearchSubString(const VELUnicodeString& text, int start = 0, int mode = 1) const;
  // Up to length characters from character position start; both are clamped to the string (a negative start
  // counts as 0, a negative length as 0), so the result may be shorter or empty.
  VELUnicodeString SubString(int start, int length) const;

  VELUnicodeString& Append(const VELUnicodeString& text);
  // A null text appends nothing.
  VELUnicodeString& Append(const char* text);
  VELUnicodeString& operator+=(const VELUnicodeString& text) { return Append(text); }
  VELUnicodeString& operator+=(const char* text) { return Append(text); }

  // Lower-cases the ASCII letters only; other characters are left alone.
  void ToLower();

 private:
  std::string _text;  // UTF-8 bytes, possibly with invalid sequences as received
};

inline bool operator==(const char* text, const VELUnicodeString& string) {
  return string == text;
}
inline bool operator!=(const char* text, const VELUnicodeString& string) {
  return string != text;
}

#endif
