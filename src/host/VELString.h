// An 8-bit text: bytes without any encoding attached, used as a dictionary key and for wire names.
#ifndef VELP2P_HOST_VELSTRING_H
#define VELP2P_HOST_VELSTRING_H

#include <string>
#include <utility>

class VELString {
 public:
  VELString() = default;
  // A null text gives the empty string.
  VELString(const char* text);  // NOLINT: implicit on purpose, like the literals it stands for
  // Takes length bytes; a null pointer or a negative length gives the empty string.
  VELString(const char* bytes, int length);
  VELString(const std::string& text) : _text(text) {}        // NOLINT
  VELString(std::string&& text) : _text(std::move(text)) {}  // NOLINT

  // The bytes, zero-terminated; valid until the string is changed.
  const char* CastToCharPtr() const { return _text.c_str(); }
  int GetLength() const { return static_cast<int>(_text.size()); }
  bool IsEmpty() const { return _text.empty(); }
  const std::string& Str() const { return _text; }

  bool operator==(const VELString& other) const { return _text == other._text; }
  bool operator!=(const VELString& other) const { return _text != other._text; }
  // A null text equals the empty string.
  bool operator==(const char* text) const { return text ? _text == text : _text.empty(); }
  bool operator!=(const char* text) const { return !(*this == text); }
  bool operator<(const VELString& other) const { return _text < other._text; }

 private:
  std::string _text;
};

#endif
