// The demo's readable transcript: every command sent and every record read, in order, in plain words.
#ifndef VELP2P_APPS_VELDEMOTRANSCRIPT_H
#define VELP2P_APPS_VELDEMOTRANSCRIPT_H

#include <string>

#include "VELConsoleJsonReader.h"

class VELDemoTranscript {
 public:
  // A section heading.
  static void Heading(const std::string& title);
  // A command sent to a console.
  static void Sent(double seconds, const std::string& who, const std::string& line);
  // A record read from a console (the raw line when it is not JSON).
  static void Received(double seconds, const std::string& who, const std::string& line,
                       const VELConsoleJsonReader& record);
  // The outcome of one expectation.
  static void Checked(bool seen, const std::string& what, const std::string& detail);
  // Anything else the demo has to say.
  static void Note(const std::string& text);

  // The record in plain words, such as "bob_KVZ is online" or "ChangeP2PStatus -> ok".
  static std::string Describe(const VELConsoleJsonReader& record);
};

#endif
