#include "VELConsoleJson.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the well-formed UTF-8 sequence at text[i], or 0 when the byte there does not start one.
size_t SequenceLength(const std::string& text, size_t i) {
  const size_t left = text.size() - i;
  const unsigned char b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80)
    return 1;
  size_t length;
  unsigned char low = 0x80;  // bounds of the second byte, which rule out overlong forms and surrogates
  unsigned char high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0)
      low = 0xA0;
    if (b0 == 0xED)
      high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0)
      low = 0x90;
    if (b0 == 0xF4)
      high = 0x8F;
  } else {
    return 0;
  }
  if (left < length)
    return 0;
  const unsigned char b1 = static_cast<unsigned char>(text[i + 1]);
  if (b1 < low || b1 > high)
    return 0;
  for (size_t k = 2; k < length; ++k) {
    const unsigned char b = static_cast<unsigned char>(text[i + k]);
    if (b < 0x80 || b > 0xBF)
      return 0;
  }
  return length;
}

}  // namespace

std::string VELConsoleJson::ValidUtf8(const std::string& text) {
  std::string valid;
  valid.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t length = SequenceLength(text, i);
    if (length == 0) {
      valid += kReplacement;
      ++i;
    } else {
      valid.append(text, i, length);
      i += length;
    }
  }
  return valid;
}

std::string VELConsoleJson::Quote(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  const std::string valid = ValidUtf8(text);
  std::string quoted;
  quoted.reserve(valid.size() + 2);
  quoted += '"';
  for (char c : valid) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      quoted += "\\u00";
      quoted += kDigits[byte >> 4];
      quoted += kDigits[byte & 0x0f];
    } else {
      quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

void VELConsoleJson::Key(const char* key) {
  if (!_body.empty())
    _body += ',';
  _body += Quote(key ? key : "");
  _body += ':';
}

VELConsoleJson& VELConsoleJson::AddText(const char* key, const std::string& text) {
  Key(key);
  _body += Quote(text);
  return *this;
}

VELConsoleJson& VELConsoleJson::AddText(const char* key, const char* text) {
  return AddText(key, std::string(text ? text : ""));
}

VELConsoleJson& VELConsoleJson::AddNumber(const char* key, int64_t number) {
  Key(key);
  _body += std::to_string(number);
  return *this;
}

VELConsoleJson& VELConsoleJson::AddList(const char* key, const std::vector<std::string>& texts) {
  Key(key);
  _body += '[';
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0)
      _body += ',';
    _body += Quote(texts[i]);
  }
  _body += ']';
  return *this;
}
