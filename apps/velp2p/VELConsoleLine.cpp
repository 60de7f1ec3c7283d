#include "VELConsoleLine.h"

#include <limits>

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

const char kHexPrefix[] = "hex:";

}  // namespace

bool VELConsoleLine::Split(const std::string& line, std::vector<std::string>& arguments, std::string& error) {
  arguments.clear();
  size_t end = line.size();
  if (end > 0 && line[end - 1] == '\r')
    --end;
  size_t i = 0;
  while (i < end) {
    while (i < end && IsBlank(line[i]))
      ++i;
    if (i == end)
      break;
    std::string argument;
    while (i < end && !IsBlank(line[i])) {
      if (line[i] != '"') {
        argument += line[i++];
        continue;
      }
      size_t open = i++;
      bool closed = false;
      while (i < end) {
        char c = line[i];
        if (c == '"') {
          closed = true;
          ++i;
          break;
        }
        if (c == '\\' && end - i >= 2 && (line[i + 1] == '"' || line[i + 1] == '\\')) {
          argument += line[i + 1];
          i += 2;
          continue;
        }
        argument += c;
        ++i;
      }
      if (!closed) {
        error = "unterminated quote starting at column " + std::to_string(open + 1);
        return false;
      }
    }
    arguments.push_back(std::move(argument));
  }
  return true;
}

std::string VELConsoleLine::Quote(const std::string& text) {
  bool plain = !text.empty();
  for (char c : text) {
    if (IsBlank(c) || c == '"' || c == '\r' || c == '\n') {
      plain = false;
      break;
    }
  }
  if (plain)
    return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\')
      quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

bool VELConsoleLine::ParseInt32(const std::string& text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (text.size() - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size())
    return false;
  // Accumulated as a magnitude that may reach 2^31, the size of the most negative value.
  const uint64_t limit = negative ? 0x80000000ull : 0x7fffffffull;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    int digit = HexDigit(text[i]);
    if (digit < 0 || digit >= base)
      return false;
    magnitude = magnitude * base + static_cast<uint64_t>(digit);
    if (magnitude > limit)
      return false;
  }
  value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
  return true;
}

bool VELConsoleLine::ParseByte(const std::string& text, uint8_t& value) {
  int32_t number = 0;
  if (!ParseInt32(text, number) || number < 0 || number > std::numeric_limits<uint8_t>::max())
    return false;
  value = static_cast<uint8_t>(number);
  return true;
}

bool VELConsoleLine::ParseData(const std::string& text, std::string& bytes, std::string& error) {
  const size_t prefix = sizeof(kHexPrefix) - 1;
  if (text.compare(0, prefix, kHexPrefix) != 0) {
    bytes = text;
    return true;
  }
  size_t digits = text.size() - prefix;
  if (digits % 2 != 0) {
    error = "hex data needs an even number of digits";
    return false;
  }
  bytes.clear();
  bytes.reserve(digits / 2);
  for (size_t i = prefix; i < text.size(); i += 2) {
    int high = HexDigit(text[i]);
    int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) {
      error = "hex data holds a character that is not a hexadecimal digit";
      return false;
    }
    bytes += static_cast<char>(high * 16 + low);
  }
  return true;
}

std::string VELConsoleLine::Hex(const char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    unsigned char byte = static_cast<unsigned char>(bytes[i]);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}
