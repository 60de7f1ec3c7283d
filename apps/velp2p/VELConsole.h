// One console session: starts the local peer, prints its notifications, runs the commands read from
// standard input on the event loop, and leaves the network cleanly at the end.
#ifndef VELP2P_APPS_VELCONSOLE_H
#define VELP2P_APPS_VELCONSOLE_H

#include <memory>
#include <string>

#include "VELConsoleCommands.h"
#include "VELConsoleEvents.h"
#include "VELConsoleOptions.h"
#include "VELConsoleOutput.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELCommand.h"

class VELCallback;
class VELIP2PPeer;

class VELConsole {
 public:
  explicit VELConsole(const VELConsoleOptions& options);
  ~VELConsole();
  VELConsole(const VELConsole&) = delete;
  VELConsole& operator=(const VELConsole&) = delete;

  // The whole session; returns the process's exit status.
  int Run();

  // The longest command line accepted; a longer one is skipped and reported as an error.
  static constexpr size_t kMaxLine = 1 << 20;

  // Turns the flags into the environment the library reads at start-up; false, with a message on standard
  // error, when the session cannot go on.
  static bool PrepareEnvironment(const VELConsoleOptions& options);
  // Starts peer in the mode of options; false, with the reason on standard error, when it fails.
  static bool StartPeer(VELIP2PPeer* peer, const VELConsoleOptions& options);

 private:
  bool Start();
  static void InputReady(int descriptor, void* loopArgument, void* data);
  void ReadInput();
  // The line in _pending has ended: runs it, or reports it when it was too long.
  void EndLine();
  void HandleLine(const std::string& line);
  void Finish();

  VELConsoleOptions _options;
  VELConsoleOutput _output;
  VELConsoleEvents _events;
  VELApplication _application;  // the loop the peer's endpoints register with; exists before the start-up
  VELCommand _inputOwner;       // files the standard-input registration with the loop
  VELIP2PPeer* _peer;           // one reference, released by the destructor
  VELCallback* _subscription;   // every notification of the peer
  std::unique_ptr<VELConsoleCommands> _commands;
  std::string _pending;    // the received part of the line not yet ended
  bool _skippingLongLine;  // the line being received passed kMaxLine; dropped up to its end
  bool _finished;          // the quit path has run
};

#endif
