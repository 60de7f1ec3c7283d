#include "velp2p/VELUnicodeString.h"

#include <cstdint>
#include <cstring>

namespace {

const wchar_t kReplacementCharacter = 0xFFFD;

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// The number of bytes of the character that starts at bytes[0], at most remaining (which is at least 1).
// Only well-formed UTF-8 makes a multi-byte character: overlong forms, surrogates, values past U+10FFFF and
// truncated sequences make their first byte a character of its own, so the next byte is examined afresh.
size_t CharacterSize(const unsigned char* bytes, size_t remaining, wchar_t* codePoint) {
  unsigned char lead = bytes[0];
  if (lead < 0x80) {
    if (codePoint)
      *codePoint = lead;
    return 1;
  }
  size_t size = 0;
  unsigned char low = 0x80;  // bounds of the second byte, narrower than the continuation range for some leads
  unsigned char high = 0xBF;
  uint32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    value = lead & 0x0F;
    if (lead == 0xE0)
      low = 0xA0;
    if (lead == 0xED)
      high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    value = lead & 0x07;
    if (lead == 0xF0)
      low = 0x90;
    if (lead == 0xF4)
      high = 0x8F;
  }
  if (size == 0 || remaining < size || bytes[1] < low || bytes[1] > high) {
    if (codePoint)
      *codePoint = kReplacementCharacter;
    return 1;
  }
  for (size_t i = 1; i < size; ++i) {
    if (!IsContinuation(bytes[i])) {
      if (codePoint)
        *codePoint = kReplacementCharacter;
      return 1;
    }
    value = (value << 6) | (bytes[i] & 0x3F);
  }
  if (codePoint)
    *codePoint = static_cast<wchar_t>(value);
  return size;
}

size_t CharacterSizeAt(const std::string& text, size_t offset) {
  return CharacterSize(reinterpret_cast<const unsigned char*>(text.data()) + offset, text.size() - offset,
                       nullptr);
}

// The byte offset of character position position, or text.size() when the text is shorter.
size_t ByteOffsetOfCharacter(const std::string& text, int position) {
  size_t offset = 0;
  for (int i = 0; i < position && offset < text.size(); ++i)
    offset += CharacterSizeAt(text, offset);
  return offset;
}

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualFoldingAscii(const char* a, const char* b, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i]))
      return false;
  }
  return true;
}

}  // namespace

VELUnicodeString::VELUnicodeString(const char* text) {
  if (text)
    _text = text;
}

VELUnicodeString::VELUnicodeString(const char* bytes, int length) {
  if (bytes && length > 0)
    _text.assign(bytes, static_cast<size_t>(length));
}

int VELUnicodeString::GetLengthInChar() const {
  int count = 0;
  for (size_t offset = 0; offset < _text.size(); offset += CharacterSizeAt(_text, offset))
    ++count;
  return count;
}

bool VELUnicodeString::operator==(const char* text) const {
  if (!text)
    return _text.empty();
  return _text == text;
}

int VELUnicodeString::Compare(const VELUnicodeString& other) const {
  if (_text == other._text)
    return 2;
  if (_text.size() == other._text.size() && EqualFoldingAscii(_text.data(), other._text.data(), _text.size()))
    return 1;
  return 0;
}

VELResult VELUnicodeString::ConvertToUTF8(char* buffer, int capacity, int& byteCount) const {
  byteCount = static_cast<int>(_text.size());
  if (!buffer || capacity < byteCount)
    return VEL_E_FAIL;
  std::memcpy(buffer, _text.data(), _text.size());
  if (capacity > byteCount)
    buffer[byteCount] = '\0';
  return VEL_S_OK;
}

VELResult VELUnicodeString::BuildFromUTF8(const char* bytes, int length) {
  if (length < 0 || (!bytes && length > 0))
    return VEL_E_FAIL;
  if (length == 0) {
    _text.clear();
  } else {
    _text.assign(bytes, static_cast<size_t>(length));
  }
  return VEL_S_OK;
}

int VELUnicodeString::ConvertToWChar(wchar_t* buffer, int capacity) const {
  int count = GetLengthInChar();
  if (!buffer)
    return count;
  if (capacity <= count)
    return VEL_E_FAIL;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(_text.data());
  int written = 0;
  for (size_t offset = 0; offset < _text.size(); ++written) {
    offset += CharacterSize(bytes + offset, _text.size() - offset, &buffer[written]);
  }
  buffer[written] = L'\0';
  return written;
}

int VELUnicodeString::SearchSubString(const VELUnicodeString& text, int start, int mode) const {
  if (start < 0)
    start = 0;
  const std::string& needle = text._text;
  size_t offset = 0;
  int position = 0;
  // Walk character boundaries so that a match can never begin inside a multi-byte character.
  for (; position < start; ++position) {
    if (offset >= _text.size())
      return -1;
    offset += CharacterSizeAt(_text, offset);
  }
  for (;;) {
    if (_text.size() - offset < needle.size())
      return -1;
    bool match = mode == 0 ? EqualFoldingAscii(_text.data() + offset, needle.data(), needle.size())
                           : std::memcmp(_text.data() + offset, needle.data(), needle.size()) == 0;
    if (match)
      return position;
    if (offset >= _text.size())
      return -1;
    offset += CharacterSizeAt(_text, offset);
    ++position;
  }
}

VELUnicodeString VELUnicodeString::SubString(int start, int length) const {
  if (start < 0)
    start = 0;
  if (length <= 0)
    return VELUnicodeString();
  size_t first = ByteOffsetOfCharacter(_text, start);
  size_t last = first;
  for (int i = 0; i < length && last < _text.size(); ++i)
    last += CharacterSizeAt(_text, last);
  return VELUnicodeString(_text.substr(first, last - first));
}

VELUnicodeString& VELUnicodeString::Append(const VELUnicodeString& text) {
  _text += text._text;
  return *this;
}

VELUnicodeString& VELUnicodeString::Append(const char* text) {
  if (text)
    _text += text;
  return *this;
}

void VELUnicodeString::ToLower() {
  for (char& c : _text)
    c = FoldAscii(c);
}
