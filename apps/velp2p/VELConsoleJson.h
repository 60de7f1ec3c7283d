// Writes the console's records: one flat JSON object per line, always valid JSON whatever bytes it is given.
#ifndef VELP2P_APPS_VELCONSOLEJSON_H
#define VELP2P_APPS_VELCONSOLEJSON_H

#include <cstdint>
#include <string>
#include <vector>

// Fields appear in the order they are added. Texts are taken as UTF-8: quotes, backslashes and control
// characters are escaped (control characters as \u00XX), and every byte that is not part of a well-formed
// UTF-8 sequence (overlong forms, surrogates and code points past U+10FFFF included) becomes U+FFFD, so the
// line stays valid JSON for any input.
class VELConsoleJson {
 public:
  VELConsoleJson& AddText(const char* key, const std::string& text);
  VELConsoleJson& AddText(const char* key, const char* text);  // null gives the empty text
  VELConsoleJson& AddNumber(const char* key, int64_t number);
  VELConsoleJson& AddList(const char* key, const std::vector<std::string>& texts);

  // The object, without a line end.
  std::string Text() const { return "{" + _body + "}"; }

  // A JSON string literal, quotes included.
  static std::string Quote(const std::string& text);

 private:
  void Key(const char* key);

  std::string _body;  // the fields written so far, without the braces
};

#endif
