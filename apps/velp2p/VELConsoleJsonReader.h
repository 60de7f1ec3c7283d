// Reads one record of the console's scripted output (a flat JSON object) back into its fields, for the
// programs that drive consoles: the demo and the tests.
#ifndef VELP2P_APPS_VELCONSOLEJSONREADER_H
#define VELP2P_APPS_VELCONSOLEJSONREADER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One field's value. Objects nested inside a record are not part of the console's output and are refused.
struct VELConsoleJsonValue {
  enum Kind { kString, kNumber, kList, kBool, kNull };
  Kind kind = kNull;
  std::string text;                // kString: the decoded text; kNumber: the number as written
  int64_t number = 0;              // kNumber: its value when it is an integer that fits, else 0
  bool flag = false;               // kBool
  std::vector<std::string> items;  // kList: strings decoded, other items as written
};

class VELConsoleJsonReader {
 public:
  // Parses line; false, and fields unspecified, unless it is exactly one JSON object (white space aside).
  bool Parse(const std::string& line);

  bool Has(const std::string& key) const { return _fields.count(key) != 0; }
  // The text of a string field, or the empty text.
  std::string Text(const std::string& key) const;
  // The value of a number field, or fallback.
  int64_t Number(const std::string& key, int64_t fallback = 0) const;
  // The items of a list field, or none.
  std::vector<std::string> List(const std::string& key) const;
  const std::map<std::string, VELConsoleJsonValue>& Fields() const { return _fields; }

 private:
  bool ParseValue(VELConsoleJsonValue& value);
  bool ParseString(std::string& text);
  bool ParseNumber(VELConsoleJsonValue& value);
  bool ParseLiteral(const char* literal);
  void SkipBlanks();

  std::map<std::string, VELConsoleJsonValue> _fields;
  const std::string* _line = nullptr;  // the text being parsed, during Parse only
  size_t _position = 0;                // next byte of *_line to read
};

#endif
