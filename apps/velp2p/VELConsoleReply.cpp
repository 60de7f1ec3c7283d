#include "VELConsoleReply.h"

#include <cstdio>

#include "VELConsoleJson.h"
#include "VELConsoleText.h"

VELConsoleReply VELConsoleReply::Error(const std::string& command, const std::string& message,
                                       int reasonCode) {
  VELConsoleReply reply(command);
  reply._isError = true;
  reply._error = message;
  reply._reasonCode = reasonCode;
  return reply;
}

void VELConsoleReply::AddText(const char* key, const std::string& value, const char* label) {
  _fields.push_back(Field{Field::kText, key, label, value, 0, {}});
}

void VELConsoleReply::AddNumber(const char* key, int64_t value, const char* label) {
  _fields.push_back(Field{Field::kNumber, key, label, std::string(), value, {}});
}

void VELConsoleReply::AddList(const char* key, const std::vector<std::string>& values, const char* label) {
  _fields.push_back(Field{Field::kList, key, label, std::string(), 0, values});
}

std::string VELConsoleReply::Json() const {
  VELConsoleJson json;
  json.AddText("command", _command);
  if (_isError)
    return json.AddText("error", _error)
        .AddNumber("reasonCode", _reasonCode)
        .AddText("reason", _error)
        .Text();
  json.AddNumber("result", _result);
  if (VEL_FAILED(_result))
    json.AddNumber("reasonCode", _reasonCode).AddText("reason", Reason());
  for (const Field& field : _fields) {
    switch (field.kind) {
      case Field::kText:
        json.AddText(field.key.c_str(), field.text);
        break;
      case Field::kNumber:
        json.AddNumber(field.key.c_str(), field.number);
        break;
      case Field::kList:
        json.AddList(field.key.c_str(), field.list);
        break;
    }
  }
  return json.Text();
}

std::string VELConsoleReply::Human() const {
  // Values, notes and reasons may hold names and texts that peers chose: each line is shown safe for a
  // terminal, and a line end inside a value stays inside its line.
  if (_isError)
    return "error: " + VELConsoleText::Shown(_error) + " (try /help)";
  if (VEL_FAILED(_result)) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(_result));
    return VELConsoleText::Shown(_command + " failed: " + Reason()) + " (" + code + ")";
  }
  std::string text;
  auto addLine = [&text](const std::string& line) {
    if (!text.empty())
      text += '\n';
    text += VELConsoleText::Shown(line);
  };
  if (!_notes.empty()) {
    for (const std::string& note : _notes)
      addLine(note);
    return text;
  }
  for (const Field& field : _fields) {
    std::string value;
    switch (field.kind) {
      case Field::kText:
        value = field.text.empty() ? "(empty)" : field.text;
        break;
      case Field::kNumber:
        value = std::to_string(field.number);
        break;
      case Field::kList:
        for (const std::string& item : field.list)
          value += (value.empty() ? "" : ", ") + item;
        if (field.list.empty())
          value = "(none)";
        break;
    }
    addLine(field.label + std::string(": ") + value);
  }
  if (text.empty())
    text = "ok";
  return text;
}
