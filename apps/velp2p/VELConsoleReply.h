// The one result record a console command prints: its canonical name, its result code and the values it
// read, rendered as a JSON object or as lines for people.
#ifndef VELP2P_APPS_VELCONSOLEREPLY_H
#define VELP2P_APPS_VELCONSOLEREPLY_H

#include <cstdint>
#include <string>
#include <vector>

#include "velp2p/VELLastError.h"
#include "velp2p/VELResult.h"

class VELConsoleReply {
 public:
  explicit VELConsoleReply(std::string command) : _command(std::move(command)) {}
  // The record of a line that could not be run: command is the name as typed; reasonCode classifies it.
  static VELConsoleReply Error(const std::string& command, const std::string& message,
                               int reasonCode = VELP2P_ERROR_BAD_ARGUMENT);

  void SetResult(VELResult result) { _result = result; }
  // Why a failed result failed (the library's last error); kept only while the result is a failure.
  void SetReason(int code, const std::string& text) {
    _reasonCode = code;
    _reason = text;
  }
  VELResult Result() const { return _result; }
  const std::string& Command() const { return _command; }
  bool IsError() const { return _isError; }

  // Fields of the JSON record; label names the value in the human form.
  void AddText(const char* key, const std::string& value, const char* label);
  void AddNumber(const char* key, int64_t value, const char* label);
  void AddList(const char* key, const std::vector<std::string>& values, const char* label);
  // Lines that replace the labelled values in the human form; the JSON record does not show them.
  void AddNote(const std::string& line) { _notes.push_back(line); }

  std::string Json() const;
  std::string Human() const;
  // The failure's reason for people: the recorded one, else the result code's message.
  std::string Reason() const { return _reason.empty() ? VELResultMessage(_result) : _reason; }

 private:
  struct Field {
    enum Kind { kText, kNumber, kList } kind;
    std::string key;
    std::string label;
    std::string text;
    int64_t number;
    std::vector<std::string> list;
  };

  std::string _command;  // canonical name, or the name as typed for an error
  VELResult _result = VEL_S_OK;
  bool _isError = false;
  std::string _error;  // the message of an error record
  int _reasonCode = VELP2P_ERROR_NONE;
  std::string _reason;  // empty: the result's own message stands for the reason
  std::vector<Field> _fields;
  std::vector<std::string> _notes;
};

#endif
