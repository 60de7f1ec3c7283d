// Design note on re-entrancy. The loop keeps, per descriptor, the list of its registrations (shared
// pointers) and asks epoll only for what they want. A turn serves the events epoll reports: for each
// ready descriptor it copies that descriptor's short list and calls each entry, so a callback may add,
// modify or remove any registration, its own included: removal marks the entry and drops it from the
// list, the turn skips marked entries, and the entry, with the callback being executed, lives until the
// copy goes away. An entry remembers the turn it was made in and is not served by that turn, which also
// keeps an event of a descriptor closed during the turn from reaching a new registration of the same
// number. Timers follow the same rule (VELTimerHeap). Work that must outlast every callback of the turn
// (deferred deletion) waits in turnEndTasks until the outermost turn ends.
#include "velp2p/VELApplication.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "host/VELSystemCalls.h"
#include "host/VELTimerHeap.h"
#include "velp2p/VELResult.h"

namespace {

using Clock = std::chrono::steady_clock;

// Events taken from the kernel per turn; the rest stay ready for the next turn.
constexpr int kEventsPerTurn = 256;

VELApplication* g_mainApplication = nullptr;

}  // namespace

struct VELApplication::Registration {
  int descriptor;
  bool isWatch;                        // AddWatch rather than AddFileDescriptor
  bool read;                           // watches only: wants readability
  bool write;                          // watches only: wants writability
  bool removed;                        // ended; skipped by a turn that still holds it
  uint64_t turn;                       // made during this turn (or before the next one)
  VELCommand* owner;                   // AddFileDescriptor only; not owned
  void* data;                          // AddFileDescriptor only; handed back to the callback
  VELFileDescriptorCallback callback;  // AddFileDescriptor only
  WatchCallback watch;                 // AddWatch only

  uint32_t Interest() const {
    if (!isWatch) {
      return EPOLLIN;
    }
    return (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
  }
};

struct VELApplication::State {
  struct Descriptor {
    std::vector<std::shared_ptr<Registration>> registrations;
    uint32_t events = 0;       // asked of epoll
    bool inEpoll = false;      // added to the epoll set
    bool alwaysReady = false;  // a file epoll refuses (regular file, /dev/null): ready on every turn
    dev_t device = 0;          // identity of the open file, to tell a reused number
    ino_t inode = 0;
  };
  int epoll = -1;
  int wake = -1;  // eventfd: Stop() and Post()
  std::unordered_map<int, Descriptor> descriptors;
  std::vector<int> alwaysReady;  // descriptors served on every turn
  VELTimerHeap timers;
  std::vector<std::function<void()>> turnEndTasks;  // run when the outermost turn ends
  uint64_t turns = 0;
  std::atomic<bool> stopRequested{false};
  std::mutex postedLock;
  std::vector<std::function<void()>> posted;              // guarded by postedLock
  std::shared_ptr<void> life = std::make_shared<char>();  // what links watch; reset as the loop goes
  std::vector<std::shared_ptr<void>> adopted;             // objects the loop destroys with itself
  std::shared_ptr<void> outgoing;                         // made by VELOutgoingConnections on first use
};

VELApplication::VELApplication() : VELApplication(true) {}

VELApplication::VELApplication(bool mayBecomeMain) : _state(new State()), _turnDepth(0) {
  _state->epoll = VELSys(epoll_create1(EPOLL_CLOEXEC));
  _state->wake = VELSys(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (_state->epoll >= 0 && _state->wake >= 0) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = _state->wake;
    VELSys(epoll_ctl(_state->epoll, EPOLL_CTL_ADD, _state->wake, &event));
  }
  if (mayBecomeMain && g_mainApplication == nullptr) {
    g_mainApplication = this;
  }
}

VELApplication::~VELApplication() {
  if (g_mainApplication == this) {
    g_mainApplication = nullptr;
  }
  RunTurnEndTasks();
  // Adopted objects go while the loop is whole, so that they can withdraw what they registered; their
  // destructors may drop or adopt others.
  while (!_state->adopted.empty()) {
    std::vector<std::shared_ptr<void>> adopted;
    adopted.swap(_state->adopted);
    adopted.clear();
    RunTurnEndTasks();
  }
  // From here on every link finds the loop gone, whatever the callbacks released below still hold.
  _state->life.reset();
  // Callbacks may own resources (the host sockets hand connections to them); they are released with no
  // main application left, so their destructors cannot call back into this one.
  std::unordered_map<int, State::Descriptor> descriptors;
  descriptors.swap(_state->descriptors);
  _state->alwaysReady.clear();
  for (auto& entry : descriptors) {
    for (auto& registration : entry.second.registrations) {
      registration->removed = true;
    }
  }
  descriptors.clear();
  _state->timers.Clear();
  {
    std::lock_guard<std::mutex> lock(_state->postedLock);
    _state->posted.clear();
  }
  RunTurnEndTasks();
  for (int descriptor : {_state->epoll, _state->wake}) {
    if (descriptor >= 0) {
      VELSys(close(descriptor));
    }
  }
}

VELApplication* VELApplication::MainApplication() {
  return g_mainApplication;
}

int VELApplication::AddFileDescriptor(int descriptor, VELCommand* owner, void* data,
                                      VELFileDescriptorCallback callback) {
  if (descriptor < 0 || callback == nullptr) {
    return VEL_E_FAIL;
  }
  auto registration = std::make_shared<Registration>();
  *registration = Registration{descriptor, false, true, false, false, 0, owner, data, callback, nullptr};
  return Register(registration);
}

int VELApplication::AddWatch(int descriptor, bool read, bool write, WatchCallback callback) {
  if (descriptor < 0 || !callback) {
    return VEL_E_FAIL;
  }
  auto registration = std::make_shared<Registration>();
  *registration =
      Registration{descriptor, true, read, write, false, 0, nullptr, nullptr, nullptr, std::move(callback)};
  return Register(registration);
}

int VELApplication::Register(const std::shared_ptr<Registration>& registration) {
  struct stat status;
  if (_state->epoll < 0 || VELSys(fstat(registration->descriptor, &status)) != 0) {
    return VEL_E_FAIL;
  }
  State::Descriptor& entry = _state->descriptors[registration->descriptor];
  if (!entry.registrations.empty() && (entry.device != status.st_dev || entry.inode != status.st_ino)) {
    // The number was closed while registered and now names another file: what it had is dead.
    for (auto& stale : entry.registrations) {
      stale->removed = true;
    }
    std::vector<std::shared_ptr<Registration>> released;
    released.swap(entry.registrations);
    entry.inEpoll = false;
    entry.events = 0;
    if (entry.alwaysReady) {
      auto& ready = _state->alwaysReady;
      ready.erase(std::remove(ready.begin(), ready.end(), registration->descriptor), ready.end());
      entry.alwaysReady = false;
    }
  }
  for (const auto& existing : entry.registrations) {
    if (existing->isWatch == registration->isWatch &&
        (existing->isWatch || existing->owner == registration->owner)) {
      return VEL_E_FAIL;
    }
  }
  entry.device = status.st_dev;
  entry.inode = status.st_ino;
  registration->turn = _state->turns;
  entry.registrations.push_back(registration);
  if (Update(registration->descriptor) != VEL_S_OK) {
    Unregister(registration);
    return VEL_E_FAIL;
  }
  return VEL_S_OK;
}

int VELApplication::Update(int descriptor) {
  auto found = _state->descriptors.find(descriptor);
  if (found == _state->descriptors.end()) {
    return VEL_E_FAIL;
  }
  State::Descriptor& entry = found->second;
  uint32_t events = 0;
  for (const auto& registration : entry.registrations) {
    events |= registration->Interest();
  }
  if (entry.alwaysReady) {
    entry.events = events;
    return VEL_S_OK;
  }
  epoll_event event{};
  event.events = events;
  event.data.fd = descriptor;
  if (events == 0) {
    // Not even hang-ups are wanted from a descriptor nobody asks anything of.
    if (entry.inEpoll) {
      VELSys(epoll_ctl(_state->epoll, EPOLL_CTL_DEL, descriptor, nullptr));
      entry.inEpoll = false;
    }
  } else if (!entry.inEpoll) {
    int result = VELSys(epoll_ctl(_state->epoll, EPOLL_CTL_ADD, descriptor, &event));
    if (result != 0 && errno == EEXIST) {
      result = VELSys(epoll_ctl(_state->epoll, EPOLL_CTL_MOD, descriptor, &event));
    }
    if (result != 0 && errno == EPERM) {
      // poll() calls such files always ready; so does the loop.
      entry.alwaysReady = true;
      _state->alwaysReady.push_back(descriptor);
      result = 0;
    }
    if (result != 0) {
      return VEL_E_FAIL;
    }
    entry.inEpoll = !entry.alwaysReady;
  } else if (events != entry.events) {
    VELSys(epoll_ctl(_state->epoll, EPOLL_CTL_MOD, descriptor, &event));
  }
  entry.events = events;
  return VEL_S_OK;
}

int VELApplication::RemoveFileDescriptor(int descriptor, VELCommand* owner) {
  auto found = _state->descriptors.find(descriptor);
  if (found != _state->descriptors.end()) {
    for (const auto& registration : found->second.registrations) {
      if (!registration->isWatch && registration->owner == owner) {
        Unregister(registration);
        return VEL_S_OK;
      }
    }
  }
  return VEL_E_FAIL;
}

int VELApplication::ModifyWatch(int descriptor, bool read, bool write) {
  auto found = _state->descriptors.find(descriptor);
  if (found != _state->descriptors.end()) {
    for (const auto& registration : found->second.registrations) {
      if (registration->isWatch) {
        registration->read = read;
        registration->write = write;
        return Update(descriptor);
      }
    }
  }
  return VEL_E_FAIL;
}

int VELApplication::RemoveWatch(int descriptor) {
  auto found = _state->descriptors.find(descriptor);
  if (found != _state->descriptors.end()) {
    for (const auto& registration : found->second.registrations) {
      if (registration->isWatch) {
        Unregister(registration);
        return VEL_S_OK;
      }
    }
  }
  return VEL_E_FAIL;
}

void VELApplication::Unregister(const std::shared_ptr<Registration>& registration) {
  // Keep our own reference: the argument may be the very element erased below.
  std::shared_ptr<Registration> kept = registration;
  kept->removed = true;
  auto found = _state->descriptors.find(kept->descriptor);
  if (found == _state->descriptors.end()) {
    return;
  }
  auto& list = found->second.registrations;
  list.erase(std::remove(list.begin(), list.end(), kept), list.end());
  Update(kept->descriptor);
  if (list.empty()) {
    if (found->second.alwaysReady) {
      auto& ready = _state->alwaysReady;
      ready.erase(std::remove(ready.begin(), ready.end(), kept->descriptor), ready.end());
    }
    _state->descriptors.erase(found);
  }
}

int VELApplication::AddTimer(int delayMs, std::function<void()> callback) {
  return _state->timers.Add(delayMs, std::move(callback));
}

void VELApplication::CancelTimer(int id) {
  _state->timers.Cancel(id);
}

std::weak_ptr<void> VELApplication::Life() const {
  return _state->life;
}

bool VELApplication::Adopt(std::shared_ptr<void> object) {
  if (!object || !_state->life) {
    return false;
  }
  _state->adopted.push_back(std::move(object));
  return true;
}

void VELApplication::Drop(const void* object) {
  auto& adopted = _state->adopted;
  auto found = std::find_if(adopted.begin(), adopted.end(),
                            [object](const std::shared_ptr<void>& held) { return held.get() == object; });
  if (found == adopted.end()) {
    return;
  }
  // Held by the task, so that a second drop, or an object adopted meanwhile at the same address, is not
  // mistaken for this one.
  std::weak_ptr<void> doomed = *found;
  auto destroy = [this, doomed]() {
    std::shared_ptr<void> held = doomed.lock();
    auto& list = _state->adopted;
    list.erase(std::remove(list.begin(), list.end(), held), list.end());
  };
  if (!DeferToTurnEnd(destroy)) {
    destroy();
  }
}

int VELApplication::Adopted() const {
  return static_cast<int>(_state->adopted.size());
}

std::shared_ptr<void>& VELApplication::OutgoingConnections() {
  return _state->outgoing;
}

bool VELApplication::DeferToTurnEnd(std::function<void()> task) {
  if (_turnDepth == 0 || !task) {
    return false;
  }
  _state->turnEndTasks.push_back(std::move(task));
  return true;
}

void VELApplication::Stop() {
  // Runs in signal handlers too: nothing but an atomic store and one write, and errno is preserved.
  int savedErrno = errno;
  _state->stopRequested.store(true);
  if (_state->wake >= 0) {
    uint64_t one = 1;
    ssize_t ignored = VELSys(write(_state->wake, &one, sizeof(one)));
    (void)ignored;
  }
  errno = savedErrno;
}

bool VELApplication::Post(std::function<void()> task) {
  if (!task) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(_state->postedLock);
    _state->posted.push_back(std::move(task));
  }
  uint64_t one = 1;
  ssize_t ignored = VELSys(write(_state->wake, &one, sizeof(one)));
  (void)ignored;
  return true;
}

int VELApplication::GetDescriptor() const {
  return _state->epoll;
}

int VELApplication::GetTimeoutMs() const {
  return WaitTimeout(-1);
}

int VELApplication::Run() {
  int result = VEL_S_OK;
  while (!_state->stopRequested.load()) {
    if (RunOnce(-1) < 0) {
      result = VEL_E_FAIL;
      break;
    }
  }
  _state->stopRequested.store(false);
  return result;
}

int VELApplication::WaitTimeout(int timeoutMs) const {
  int wait = timeoutMs < 0 ? -1 : timeoutMs;
  Clock::time_point earliest;
  if (wait == 0 || !_state->alwaysReady.empty()) {
    return 0;
  }
  if (!_state->timers.NextDeadline(&earliest)) {
    return wait;
  }
  Clock::time_point now = Clock::now();
  if (earliest <= now) {
    return 0;
  }
  // Rounded up: waking before the deadline would spin through empty turns until it passes.
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(earliest - now).count();
  if (remaining > INT_MAX) {
    remaining = INT_MAX;
  }
  return wait < 0 ? static_cast<int>(remaining) : std::min(wait, static_cast<int>(remaining));
}

int VELApplication::RunOnce(int timeoutMs) {
  ++_turnDepth;
  uint64_t turn = ++_state->turns;
  epoll_event events[kEventsPerTurn];
  int served = 0;
  int ready = VELSys(epoll_wait(_state->epoll, events, kEventsPerTurn, WaitTimeout(timeoutMs)));
  if (ready < 0 && errno != EINTR) {
    served = -1;
  }
  bool woken = false;
  for (int i = 0; i < ready; ++i) {
    if (events[i].data.fd == _state->wake) {
      woken = true;
    } else {
      served += Serve(events[i].data.fd, events[i].events, turn);
    }
  }
  if (served >= 0) {
    // A copy: serving may add or remove such descriptors.
    std::vector<int> always = _state->alwaysReady;
    for (int descriptor : always) {
      served += Serve(descriptor, EPOLLIN | EPOLLOUT, turn);
    }
    if (woken) {
      served += RunPosted();
    }
    served += _state->timers.ServeDue();
  }
  --_turnDepth;
  if (_turnDepth == 0) {
    RunTurnEndTasks();
  }
  return served;
}

int VELApplication::Serve(int descriptor, uint32_t events, uint64_t turn) {
  auto found = _state->descriptors.find(descriptor);
  if (found == _state->descriptors.end()) {
    return 0;
  }
  // Usually one entry; the copy keeps each alive while its callback runs.
  std::vector<std::shared_ptr<Registration>> registrations = found->second.registrations;
  int served = 0;
  for (const auto& registration : registrations) {
    uint32_t interest = registration->Interest();
    if (registration->removed || registration->turn >= turn || interest == 0) {
      continue;
    }
    bool readable = (events & interest & EPOLLIN) != 0 || (events & EPOLLHUP) != 0;
    bool writable = (events & interest & EPOLLOUT) != 0;
    bool error = (events & EPOLLERR) != 0;
    if (!readable && !writable && !error) {
      continue;
    }
    if (!registration->isWatch) {
      registration->callback(registration->descriptor, nullptr, registration->data);
    } else {
      registration->watch(registration->descriptor, readable, writable, error);
    }
    ++served;
  }
  return served;
}

int VELApplication::RunPosted() {
  uint64_t count;
  while (VELSys(read(_state->wake, &count, sizeof(count))) > 0) {
  }
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(_state->postedLock);
    tasks.swap(_state->posted);
  }
  for (auto& task : tasks) {
    task();
  }
  return static_cast<int>(tasks.size());
}

void VELApplication::RunTurnEndTasks() {
  // A task that turns the loop itself may queue more; they run in this same pass.
  while (!_state->turnEndTasks.empty()) {
    std::vector<std::function<void()>> tasks;
    tasks.swap(_state->turnEndTasks);
    for (auto& task : tasks) {
      task();
    }
  }
}

bool VELApplication::RunUntil(const std::function<bool()>& done, int timeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  while (!done()) {
    int wait = -1;
    if (timeoutMs >= 0) {
      Clock::time_point now = Clock::now();
      if (now >= deadline) {
        return false;
      }
      wait = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
    }
    if (RunOnce(wait) < 0) {
      return done();
    }
  }
  return true;
}
