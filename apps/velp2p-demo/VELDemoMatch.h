// What the demo expects of one record of a console: an event or a command reply with given field values.
#ifndef VELP2P_APPS_VELDEMOMATCH_H
#define VELP2P_APPS_VELDEMOMATCH_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "VELConsoleJsonReader.h"

class VELDemoMatch {
 public:
  static VELDemoMatch Event(const std::string& notification) { return VELDemoMatch("event", notification); }
  static VELDemoMatch Reply(const std::string& command) { return VELDemoMatch("command", command); }

  VELDemoMatch& Text(const std::string& key, const std::string& value);
  VELDemoMatch& Number(const std::string& key, int64_t value);
  // Compared as sets: the console lists peers in the directory's order, which is not fixed.
  VELDemoMatch& List(const std::string& key, std::vector<std::string> values);

  // True when the record is of the kind and name, and every field given has the value given.
  bool Matches(const VELConsoleJsonReader& record) const;
  // True when the record is of the kind and name, whatever its other fields.
  bool SameKind(const VELConsoleJsonReader& record) const;
  // The fields given that the record does not have, for the report, such as result=0 (got -2147467259).
  std::string Differences(const VELConsoleJsonReader& record) const;

 private:
  VELDemoMatch(std::string key, std::string name) : _key(std::move(key)), _name(std::move(name)) {}

  std::string _key;   // "event" or "command"
  std::string _name;  // the notification class or the command name
  std::vector<std::pair<std::string, std::string>> _texts;
  std::vector<std::pair<std::string, int64_t>> _numbers;
  std::vector<std::pair<std::string, std::vector<std::string>>> _lists;  // each sorted
};

#endif
