// What the watch and ping tools share: a peer started from the console's flags, a loop that runs until the
// tool is done, its time is up or a signal comes, and a clean departure at the end.
#ifndef VELP2P_APPS_VELCONSOLETOOL_H
#define VELP2P_APPS_VELCONSOLETOOL_H

#include <string>

#include "VELConsoleOptions.h"
#include "velp2p/VELApplication.h"

class VELCallback;
class VELIP2PPeer;
class VELNotification;

class VELConsoleTool {
 public:
  explicit VELConsoleTool(const VELConsoleOptions& options) : _options(options) {}
  virtual ~VELConsoleTool() = default;
  VELConsoleTool(const VELConsoleTool&) = delete;
  VELConsoleTool& operator=(const VELConsoleTool&) = delete;

  // The whole run; returns the process's exit status.
  int Run();

 protected:
  // The peer has started (and its own notifications of the start-up have been seen).
  virtual void Started() {}
  virtual void Notified(VELNotification* notification) = 0;
  virtual bool Done() const { return false; }
  // The exit status, once the loop has ended (timedOut: the time given ran out first).
  virtual int Finish(bool timedOut) = 0;
  // Seconds the tool runs for when --timeout is not given; negative: until a signal.
  virtual double DefaultTimeout() const { return -1.0; }

  // Writes one line to standard output, flushed.
  static void Line(const std::string& text);
  // Milliseconds of a steady clock.
  static double NowMs();

  VELConsoleOptions _options;
  VELApplication _application;
  VELIP2PPeer* _peer = nullptr;
  std::string _self;  // the local peer's name
};

#endif
