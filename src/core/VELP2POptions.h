// What a local peer starts with: its login, its mode, its endpoint configuration, the interval of its
// liveness checks and where its diagnostics go. The start-up reads nothing else. The C++ API's start-ups
// take these from the environment variables they have always read; a program that sets them in code (the
// C API) needs no environment at all, and gets a reason for every value it cannot use.
#ifndef VELP2P_CORE_VELP2POPTIONS_H
#define VELP2P_CORE_VELP2POPTIONS_H

#include <functional>
#include <string>

#include "host/VELRawCollint.h"
#include "velp2p/VELListValVELUnicodeString.h"
#include "velp2p/VELResult.h"

struct VELP2PEndPointConfigSource;

class VELP2POptions {
 public:
  enum class Mode { kCollaboration, kStandard };

  // The environment's values: "VELP2PLogin" (read for the collaboration mode only, whose name it is),
  // "VELP2PConfig", "VELP2PLiveness", "VELP2PAnnounce" and "VELP2PPersistent" (each the number 0: off) and
  // "VELP2PHTTPEndPoint". Nothing is checked until Check().
  static VELP2POptions FromEnvironment(Mode mode);

  // Sets one option from text: "login", "mode" ("collaboration" or "standard"), "config" (a file path),
  // "endpoints" (the configuration's text; empty for the default endpoints), "liveness" (seconds, 0 turns
  // the checks off), "announce" ("0": the peer does not announce itself again after its birth; "1") or
  // "persistent" ("0": one connection per block whatever the other side takes; "1"). "config" and
  // "endpoints" replace each other. A value that cannot be used is refused with its reason (BAD_OPTION) and
  // changes nothing.
  VELResult Set(const std::string& name, const std::string& value);
  // Checks what Set cannot see coming from the environment; the start-up calls it first.
  VELResult Check() const;

  // The entries of the endpoint configuration, or useDefaults when there is none (no file named, or an
  // empty one). A file that cannot be read, a line that is not a usable entry, or a configuration without
  // any entry is refused with its file (or option) and line.
  VELResult ReadEndPoints(VELListValVELUnicodeString& classNames, VELListValVELUnicodeString& addresses,
                          VELRawCollint& ports, VELP2PEndPointConfigSource& source, bool& useDefaults) const;
  // Where the entries come from, for messages: the file's path, or "endpoints" for a text.
  std::string EndPointsOrigin() const;
  // The interval of the liveness checks (at least half a second), 0 when they are off; meaningful once
  // Check() succeeded.
  int LivenessIntervalMs() const;

  Mode mode = Mode::kCollaboration;
  bool hasLogin = false;
  std::string login;       // collaboration mode: the name is login + "_KVZ"; standard: replaces the account's
  std::string configPath;  // empty when no file is named
  bool hasEndpoints = false;
  std::string endpoints;       // the configuration's text, used instead of a file when hasEndpoints
  std::string liveness;        // seconds as text; empty for the default
  bool announce = true;        // the peer announces itself again after its birth
  bool persistent = true;      // many blocks per connection with the peers that take them
  bool httpEndPoints = false;  // the defaults are the HTTP endpoint classes
  // Receives every diagnostic line while the peer runs; empty for the process's default.
  std::function<void(const std::string& text)> diagnostics;
};

#endif
