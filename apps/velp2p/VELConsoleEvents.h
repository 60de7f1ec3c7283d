// Prints every notification of the local peer as one event: a JSON object in scripted mode, a time-stamped
// sentence otherwise.
#ifndef VELP2P_APPS_VELCONSOLEEVENTS_H
#define VELP2P_APPS_VELCONSOLEEVENTS_H

#include <cstdint>
#include <set>
#include <string>

#include "VELConsoleOutput.h"

class VELNotification;

class VELConsoleEvents {
 public:
  VELConsoleEvents(VELConsoleOutput& output, bool json) : _output(output), _json(json) {}

  // Called during the notification's dispatch: everything it points to is copied before this returns.
  void Print(VELNotification* notification);

  // The peers of the current group as the notifications reported them (standard mode): added when they
  // join, removed when they leave, forgotten when the local peer changes group.
  const std::set<std::string>& GroupPeers() const { return _groupPeers; }

  // The name shown beside a status number: the library's own values (0 and 6) and the usual presence
  // states applications give the others; "custom" for any other number.
  static const char* StatusName(int32_t status);
  // A status for people: the number and its name, then the description in quotes when there is one.
  static std::string StatusText(int32_t status, const std::string& description);
  // Application data for people: the text in quotes when it is printable UTF-8, else its bytes in hex.
  static std::string DataText(const char* data, unsigned int length);

 private:
  std::string Json(VELNotification* notification) const;
  // The sentence, followed by why a peer left or came back when the library says.
  std::string Sentence(VELNotification* notification) const;
  std::string Clause(VELNotification* notification) const;
  void Track(VELNotification* notification);

  VELConsoleOutput& _output;
  bool _json;
  std::set<std::string> _groupPeers;
};

#endif
