// The console's command-line flags, and the help text that explains them with the environment they set.
#ifndef VELP2P_APPS_VELCONSOLEOPTIONS_H
#define VELP2P_APPS_VELCONSOLEOPTIONS_H

#include <string>

class VELConsoleOptions {
 public:
  enum ParseResult { kRun, kHelp, kBad };

  // Reads argv; kBad leaves a message in error.
  ParseResult Parse(int argc, char** argv, std::string& error);

  static std::string Usage();
  static std::string Help();

  bool standard = false;  // InitP2P rather than InitP2PForRTC
  bool json = false;      // scripted output
  bool trace = false;     // module trace and diagnostics on stderr
  std::string login;      // becomes VELP2PLogin when not empty
  std::string config;     // becomes VELP2PConfig when not empty

  // A tool run instead of the console: "watch", "ping" or "spy" (empty: the console).
  std::string tool;
  std::string read;       // spy: a file holding one block to decode
  std::string target;     // ping: the peer to ping
  int count = 5;          // ping: the requests to send
  double interval = 1.0;  // ping: seconds between requests
  double timeout = -1.0;  // tools: seconds before they end by themselves; negative: the tool's default
};

#endif
