#include "VELConsoleJsonReader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& text, uint32_t code) {
  if (code < 0x80) {
    text += static_cast<char>(code);
  } else if (code < 0x800) {
    text += static_cast<char>(0xC0 | (code >> 6));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    text += static_cast<char>(0xE0 | (code >> 12));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (code >> 18));
    text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

bool VELConsoleJsonReader::Parse(const std::string& line) {
  _fields.clear();
  _line = &line;
  _position = 0;
  bool ok = false;
  SkipBlanks();
  if (_position < line.size() && line[_position] == '{') {
    ++_position;
    SkipBlanks();
    if (_position < line.size() && line[_position] == '}') {
      ++_position;
      ok = true;
    }
    while (!ok) {
      std::string key;
      VELConsoleJsonValue value;
      SkipBlanks();
      if (!ParseString(key))
        break;
      SkipBlanks();
      if (_position >= line.size() || line[_position] != ':')
        break;
      ++_position;
      SkipBlanks();
      if (!ParseValue(value))
        break;
      _fields[key] = std::move(value);
      SkipBlanks();
      if (_position >= line.size())
        break;
      if (line[_position] == ',') {
        ++_position;
        continue;
      }
      if (line[_position] == '}') {
        ++_position;
        ok = true;
      }
      break;
    }
  }
  if (ok) {
    SkipBlanks();
    ok = _position == line.size();
  }
  _line = nullptr;
  return ok;
}

void VELConsoleJsonReader::SkipBlanks() {
  while (_position < _line->size()) {
    char c = (*_line)[_position];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
      break;
    ++_position;
  }
}

bool VELConsoleJsonReader::ParseString(std::string& text) {
  const std::string& line = *_line;
  if (_position >= line.size() || line[_position] != '"')
    return false;
  ++_position;
  text.clear();
  while (_position < line.size()) {
    char c = line[_position++];
    if (c == '"')
      return true;
    if (static_cast<unsigned char>(c) < 0x20)
      return false;
    if (c != '\\') {
      text += c;
      continue;
    }
    if (_position >= line.size())
      return false;
    char escape = line[_position++];
    switch (escape) {
      case '"':
      case '\\':
      case '/':
        text += escape;
        break;
      case 'b':
        text += '\b';
        break;
      case 'f':
        text += '\f';
        break;
      case 'n':
        text += '\n';
        break;
      case 'r':
        text += '\r';
        break;
      case 't':
        text += '\t';
        break;
      case 'u': {
        auto readUnit = [&](uint32_t& unit) {
          if (line.size() - _position < 4)
            return false;
          unit = 0;
          for (int k = 0; k < 4; ++k) {
            int digit = HexValue(line[_position + k]);
            if (digit < 0)
              return false;
            unit = unit * 16 + static_cast<uint32_t>(digit);
          }
          _position += 4;
          return true;
        };
        uint32_t code = 0;
        if (!readUnit(code))
          return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
          uint32_t low = 0;
          if (line.size() - _position < 2 || line[_position] != '\\' || line[_position + 1] != 'u')
            return false;
          _position += 2;
          if (!readUnit(low) || low < 0xDC00 || low > 0xDFFF)
            return false;
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
          return false;
        }
        AppendUtf8(text, code);
        break;
      }
      default:
        return false;
    }
  }
  return false;
}

bool VELConsoleJsonReader::ParseNumber(VELConsoleJsonValue& value) {
  const std::string& line = *_line;
  size_t start = _position;
  if (_position < line.size() && line[_position] == '-')
    ++_position;
  size_t digits = _position;
  while (_position < line.size() && line[_position] >= '0' && line[_position] <= '9')
    ++_position;
  if (_position == digits)
    return false;
  bool integral = true;
  if (_position < line.size() && line[_position] == '.') {
    integral = false;
    ++_position;
    size_t fraction = _position;
    while (_position < line.size() && line[_position] >= '0' && line[_position] <= '9')
      ++_position;
    if (_position == fraction)
      return false;
  }
  if (_position < line.size() && (line[_position] == 'e' || line[_position] == 'E')) {
    integral = false;
    ++_position;
    if (_position < line.size() && (line[_position] == '+' || line[_position] == '-'))
      ++_position;
    size_t exponent = _position;
    while (_position < line.size() && line[_position] >= '0' && line[_position] <= '9')
      ++_position;
    if (_position == exponent)
      return false;
  }
  value.kind = VELConsoleJsonValue::kNumber;
  value.text = line.substr(start, _position - start);
  value.number = 0;
  if (integral) {
    errno = 0;
    long long number = std::strtoll(value.text.c_str(), nullptr, 10);
    if (errno == 0)
      value.number = number;
  }
  return true;
}

bool VELConsoleJsonReader::ParseLiteral(const char* literal) {
  size_t length = std::strlen(literal);
  if (_line->compare(_position, length, literal) != 0)
    return false;
  _position += length;
  return true;
}

bool VELConsoleJsonReader::ParseValue(VELConsoleJsonValue& value) {
  const std::string& line = *_line;
  if (_position >= line.size())
    return false;
  char c = line[_position];
  if (c == '"') {
    value.kind = VELConsoleJsonValue::kString;
    return ParseString(value.text);
  }
  if (c == '[') {
    ++_position;
    value.kind = VELConsoleJsonValue::kList;
    SkipBlanks();
    if (_position < line.size() && line[_position] == ']') {
      ++_position;
      return true;
    }
    while (true) {
      SkipBlanks();
      VELConsoleJsonValue item;
      if (_position >= line.size() || line[_position] == '[' || line[_position] == '{')
        return false;
      if (!ParseValue(item))
        return false;
      value.items.push_back(
          item.kind == VELConsoleJsonValue::kString || item.kind == VELConsoleJsonValue::kNumber
              ? item.text
              : (item.kind == VELConsoleJsonValue::kBool ? (item.flag ? "true" : "false") : "null"));
      SkipBlanks();
      if (_position >= line.size())
        return false;
      if (line[_position] == ',') {
        ++_position;
        continue;
      }
      if (line[_position] == ']') {
        ++_position;
        return true;
      }
      return false;
    }
  }
  if (c == '-' || (c >= '0' && c <= '9'))
    return ParseNumber(value);
  if (ParseLiteral("true")) {
    value.kind = VELConsoleJsonValue::kBool;
    value.flag = true;
    return true;
  }
  if (ParseLiteral("false")) {
    value.kind = VELConsoleJsonValue::kBool;
    value.flag = false;
    return true;
  }
  if (ParseLiteral("null")) {
    value.kind = VELConsoleJsonValue::kNull;
    return true;
  }
  return false;
}

std::string VELConsoleJsonReader::Text(const std::string& key) const {
  auto it = _fields.find(key);
  return it != _fields.end() && it->second.kind == VELConsoleJsonValue::kString ? it->second.text
                                                                                : std::string();
}

int64_t VELConsoleJsonReader::Number(const std::string& key, int64_t fallback) const {
  auto it = _fields.find(key);
  return it != _fields.end() && it->second.kind == VELConsoleJsonValue::kNumber ? it->second.number
                                                                                : fallback;
}

std::vector<std::string> VELConsoleJsonReader::List(const std::string& key) const {
  auto it = _fields.find(key);
  return it != _fields.end() && it->second.kind == VELConsoleJsonValue::kList ? it->second.items
                                                                              : std::vector<std::string>();
}
