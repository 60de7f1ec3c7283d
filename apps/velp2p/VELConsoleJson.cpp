#include "VELConsoleJson.h"

#include "VELConsoleText.h"

std::string VELConsoleJson::Quote(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  const std::string valid = VELConsoleText::ValidUtf8(text);
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
