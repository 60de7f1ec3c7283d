#include "VELConsoleText.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
const char kDigits[] = "0123456789abcdef";

}  // namespace

size_t VELConsoleText::SequenceLength(const std::string& text, size_t i) {
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

std::string VELConsoleText::ValidUtf8(const std::string& text) {
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

void VELConsoleText::Append(const std::string& text, bool quoting, std::string& out) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = SequenceLength(text, i);
    const unsigned char b0 = static_cast<unsigned char>(text[i]);
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    if (b0 < 0x20 || b0 == 0x7F) {
      out += "\\x";
      out += kDigits[b0 >> 4];
      out += kDigits[b0 & 0x0F];
    } else if (b0 == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // U+0080 to U+009F, encoded C2 80 to C2 9F: the terminal's second set of controls.
      const unsigned char code = static_cast<unsigned char>(text[i + 1]);
      out += "\\u00";
      out += kDigits[code >> 4];
      out += kDigits[code & 0x0F];
    } else {
      if (quoting && (b0 == '"' || b0 == '\\'))
        out += '\\';
      out.append(text, i, length);
    }
    i += length;
  }
}

std::string VELConsoleText::Shown(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  Append(text, false, shown);
  return shown;
}

std::string VELConsoleText::Quoted(const std::string& text) {
  std::string quoted = "\"";
  Append(text, true, quoted);
  return quoted + "\"";
}

bool VELConsoleText::IsPlain(const std::string& text) {
  return Shown(text) == text;
}
