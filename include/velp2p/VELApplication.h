// The single-threaded event loop: calls back on ready descriptors and due timers, one turn at a time.
#ifndef VELP2P_VELAPPLICATION_H
#define VELP2P_VELAPPLICATION_H

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "velp2p/VELExport.h"

class VELCommand;

// Called with the descriptor, a null loop argument and the data given at registration.
typedef void (*VELFileDescriptorCallback)(int descriptor, void* loopArgument, void* data);

// Every registration method may be called from inside any callback of the same loop, including one that
// ends the registration being served; a registration ended during a turn is not called again in that
// turn. All methods except Stop() belong to the loop's thread. Results are 0 on success and VEL_E_FAIL
// otherwise.
class VELP2P_API VELApplication {
 public:
  // Told whether the descriptor can be read without blocking (a hang-up counts as readable, since the
  // read then reports it), written without blocking, or carries a pending error.
  typedef std::function<void(int descriptor, bool readable, bool writable, bool error)> WatchCallback;

  // The first application constructed while none exists becomes the main application.
  VELApplication();
  ~VELApplication();

  VELApplication(const VELApplication&) = delete;
  VELApplication& operator=(const VELApplication&) = delete;

  // Null when no application exists.
  static VELApplication* MainApplication();

  // Calls back whenever the descriptor is readable (or hung up). One registration per descriptor and owner.
  int AddFileDescriptor(int descriptor, VELCommand* owner, void* data, VELFileDescriptorCallback callback);
  int RemoveFileDescriptor(int descriptor, VELCommand* owner);

  // Serves until Stop(); VEL_E_FAIL when waiting on the descriptors fails. A Stop() that came before
  // Run() makes it return at once.
  int Run();
  // Ends Run() after the turn in progress. Safe from a signal handler: it only stores a flag and writes
  // one byte to a non-blocking self-pipe that the loop always watches.
  void Stop();
  // One turn: waits at most timeoutMs (0 polls, negative waits until something is ready), then serves
  // every ready descriptor and every due timer. Returns the number of callbacks made, -1 on failure.
  int RunOnce(int timeoutMs);
  // Turns until done() holds or timeoutMs has passed (negative: no deadline). True when done() held.
  bool RunUntil(const std::function<bool()>& done, int timeoutMs);

  // One-shot timer; returns its id (> 0, unique in the process), or 0 for an empty callback.
  int AddTimer(int delayMs, std::function<void()> callback);
  void CancelTimer(int id);

  // Readiness watches for the host sockets. One watch per descriptor; a watch asking for nothing stays
  // registered but is not polled.
  int AddWatch(int descriptor, bool read, bool write, WatchCallback callback);
  int ModifyWatch(int descriptor, bool read, bool write);
  int RemoveWatch(int descriptor);

  // Runs the task once the outermost turn in progress ends. False, and the task is not kept, when no turn
  // is in progress: the caller then does the work itself.
  bool DeferToTurnEnd(std::function<void()> task);
  bool IsTurning() const { return _turnDepth > 0; }

 private:
  struct Registration;
  struct Timer;

  int WaitTimeout(int timeoutMs) const;
  int ServeTimers();
  void RunTurnEndTasks();
  void Unregister(const std::shared_ptr<Registration>& registration);

  std::vector<std::shared_ptr<Registration>> _registrations;  // live ones, in order of registration
  std::map<int, std::shared_ptr<Timer>> _timers;              // live ones, by id
  std::vector<std::function<void()>> _turnEndTasks;           // run when _turnDepth drops to 0
  int _turnDepth;                                             // nesting of RunOnce calls in progress
  int _wakeRead;                                              // read end of the self-pipe
  int _wakeWrite;                                             // write end of the self-pipe
  std::atomic<bool> _stopRequested;
};

#endif
