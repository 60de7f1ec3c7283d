// Drives a velp2p console (build/bin/velp2p --json) as a child process for the console tests: commands in,
// records out, every wait with a deadline.
#ifndef VELP2P_TESTS_PROCESS_CONSOLETESTSUPPORT_H
#define VELP2P_TESTS_PROCESS_CONSOLETESTSUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include "VELConsoleJsonReader.h"
#include "support/ChildProcess.h"

// How long one expected record may take.
const int kConsoleWaitMs = 5000;
// The console's answer to a refused operation, 0x80004005 read as a signed 32-bit number.
const int64_t kConsoleFailure = -2147467259;

// A configuration file binding TCP to loopback and multicast to the given port, removed with the object.
class ConsoleConfig {
 public:
  explicit ConsoleConfig(unsigned short multicastPort);
  explicit ConsoleConfig(const std::string& contents);
  ~ConsoleConfig();
  ConsoleConfig(const ConsoleConfig&) = delete;
  ConsoleConfig& operator=(const ConsoleConfig&) = delete;
  const std::string& Path() const { return _path; }

 private:
  std::string _path;
};

class ConsoleProcess {
 public:
  typedef std::function<bool(const VELConsoleJsonReader&)> Match;

  // Starts "velp2p --json" with the arguments. In collaboration mode (login not empty) the peer is named
  // login_KVZ; an empty login starts the standard mode.
  bool Start(const std::string& login, const std::string& configPath, std::vector<std::string> extra = {});
  // Starts the console with exactly these arguments.
  bool StartRaw(const std::vector<std::string>& arguments);

  // Waits until the console has printed a record that matches and that no earlier Await took; out, when
  // given, receives it. Records already read are looked at first.
  bool Await(const Match& match, VELConsoleJsonReader* out = nullptr, int timeoutMs = kConsoleWaitMs);
  bool AwaitEvent(const std::string& event, const std::string& peerName, VELConsoleJsonReader* out = nullptr);
  // Sends a line and returns the next command record that no Await took (an empty reader on time-out).
  VELConsoleJsonReader Run(const std::string& line);
  bool Send(const std::string& line) { return _child.WriteLine(line); }

  // The records read so far, in order, parsed (lines that are not JSON give empty readers).
  std::vector<VELConsoleJsonReader> Records() const;
  VELTestChild& Child() { return _child; }
  std::string Transcript() const { return _child.Transcript(); }

 private:
  bool TakeRead(const Match& match, VELConsoleJsonReader* out);

  VELTestChild _child;
  std::vector<bool> _taken;  // per line read: an Await already matched it
};

// Matchers for ConsoleProcess::Await.
ConsoleProcess::Match IsEvent(const std::string& event, const std::string& peerName);
ConsoleProcess::Match IsReply(const std::string& command);

#endif
