// The single-threaded event loop: calls back on ready descriptors and due timers, one turn at a time.
#ifndef VELP2P_VELAPPLICATION_H
#define VELP2P_VELAPPLICATION_H

#include <cstdint>
#include <functional>
#include <memory>

#include "velp2p/VELExport.h"

class VELCommand;

// Called with the descriptor, a null loop argument and the data given at registration.
typedef void (*VELFileDescriptorCallback)(int descriptor, void* loopArgument, void* data);

// Every registration method may be called from inside any callback of the same loop, including one that
// ends the registration being served; a registration ended during a turn is not called again, and one
// made during a turn is served from the next turn on. All methods except Stop() and Post() belong to the
// loop's thread. Results are 0 on success and VEL_E_FAIL otherwise. A turn costs what is ready, not what
// is registered.
//
// An application that has its own loop does not call Run(): it watches GetDescriptor() for readability,
// waits no longer than GetTimeoutMs(), and then calls ProcessReady() (docs/API.md shows the pattern).
class VELP2P_API VELApplication {
 public:
  // Told whether the descriptor can be read without blocking (a hang-up counts as readable, since the
  // read then reports it), written without blocking, or carries a pending error.
  typedef std::function<void(int descriptor, bool readable, bool writable, bool error)> WatchCallback;

  // The first application constructed while none exists becomes the main application.
  VELApplication();
  // With false, a loop that never becomes the main application: one a library component keeps for itself
  // (a node of the C interface that found no main application).
  explicit VELApplication(bool mayBecomeMain);
  ~VELApplication();

  VELApplication(const VELApplication&) = delete;
  VELApplication& operator=(const VELApplication&) = delete;

  // Null when no application exists.
  static VELApplication* MainApplication();

  // Calls back whenever the descriptor is readable (or hung up). One registration per descriptor and owner.
  // A descriptor must be removed before it is closed; one closed while registered is no longer heard of,
  // and its registrations are dropped when its number is registered again.
  int AddFileDescriptor(int descriptor, VELCommand* owner, void* data, VELFileDescriptorCallback callback);
  int RemoveFileDescriptor(int descriptor, VELCommand* owner);

  // Serves until Stop(); VEL_E_FAIL when waiting on the descriptors fails. A Stop() that came before
  // Run() makes it return at once.
  int Run();
  // Ends Run() after the turn in progress. Safe from a signal handler and from any thread: it only
  // stores a flag and wakes the loop.
  void Stop();
  // One turn: waits at most timeoutMs (0 polls, negative waits until something is ready), then serves
  // every ready descriptor, the posted functions and every due timer. Returns the number of callbacks
  // made, -1 on failure.
  int RunOnce(int timeoutMs);
  // Turns until done() holds or timeoutMs has passed (negative: no deadline). True when done() held.
  bool RunUntil(const std::function<bool()>& done, int timeoutMs);

  // For a foreign loop: a descriptor that is readable whenever a registered descriptor is ready or a
  // function was posted. Owned by the application; watch it, never read it.
  int GetDescriptor() const;
  // Milliseconds until the next timer is due (0: due now), -1 when none is pending.
  int GetTimeoutMs() const;
  // The ready work without waiting: RunOnce(0).
  int ProcessReady() { return RunOnce(0); }
  // From any thread: runs the function on the loop's thread during a coming turn, in the order posted,
  // and wakes the loop. Functions still waiting when the application is destroyed are dropped unrun.
  // False for an empty function.
  bool Post(std::function<void()> task);

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
  struct State;
  // The library's own objects hold the loop through VELLoopLink, which these serve.
  friend class VELLoopLink;
  std::weak_ptr<void> Life() const;
  bool Adopt(std::shared_ptr<void> object);
  void Drop(const void* object);
  int Adopted() const;
  // The connections finishing their sends on this loop, which makes room among its own only.
  friend class VELOutgoingConnections;
  std::shared_ptr<void>& OutgoingConnections();

  int Register(const std::shared_ptr<Registration>& registration);
  void Unregister(const std::shared_ptr<Registration>& registration);
  int Update(int descriptor);
  int WaitTimeout(int timeoutMs) const;
  int Serve(int descriptor, uint32_t events, uint64_t turn);
  int RunPosted();
  void RunTurnEndTasks();

  std::unique_ptr<State> _state;
  int _turnDepth;  // nesting of RunOnce calls in progress
};

#endif
