// velp2p spy: joins the multicast groups of the endpoint configuration and decodes every datagram heard
// there, one line or JSON object each, until --timeout or a signal. It starts no peer and sends nothing, so
// the others never learn it is there. With --read it decodes one captured block (a datagram or the whole
// stream of a TCP connection) from a file instead.
#ifndef VELP2P_APPS_VELCONSOLESPY_H
#define VELP2P_APPS_VELCONSOLESPY_H

#include <string>
#include <utility>
#include <vector>

#include "VELConsoleOptions.h"
#include "VELSpyDecoder.h"

class VELConsoleSpy {
 public:
  explicit VELConsoleSpy(const VELConsoleOptions& options);

  // The whole run; returns the process's exit status.
  int Run();

 private:
  typedef std::pair<std::string, int> Group;  // dotted address, port

  int ReadFile();
  // The multicast groups the configuration names, or the default one; false, with a message on standard
  // error, when the configuration cannot be used.
  bool ConfiguredGroups(std::vector<Group>& groups) const;
  // A socket bound to the group that has joined it; -1, with a message, when that fails.
  static int Join(const Group& group);
  // Prints one block; origin names where it came from ("source" for a datagram, "file" for --read).
  // Returns false when the block is malformed.
  bool Print(const uint8_t* bytes, size_t size, bool datagram, const char* originKey,
             const std::string& origin, const std::string& destination);

  VELConsoleOptions _options;
  VELSpyDecoder _decoder;
};

#endif
