// Design note on re-entrancy. A turn takes a snapshot of the live registrations (shared pointers) before it
// waits, so a callback may add, modify or remove any registration, its own included, without the turn
// losing its place: removal marks the registration and drops it from the live list, the turn skips marked
// entries, and the entry itself, with the callback being executed, lives until the snapshot goes away at
// the end of the turn. Registrations added during a turn are polled from the next turn on. Timers follow
// the same rule. Work that must outlast every callback of the turn (deferred deletion) waits in
// _turnEndTasks until the outermost turn ends.
#include "velp2p/VELApplication.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "velp2p/VELResult.h"

namespace {

using Clock = std::chrono::steady_clock;

VELApplication* g_mainApplication = nullptr;

// Timer ids are unique in the process, so cancelling a stale id on another application cancels nothing.
int NextTimerId() {
  static int last = 0;
  last = last == INT_MAX ? 1 : last + 1;
  return last;
}

bool MakePipe(int* readEnd, int* writeEnd) {
  int ends[2];
  if (pipe(ends) != 0) {
    return false;
  }
  for (int end : ends) {
    fcntl(end, F_SETFD, FD_CLOEXEC);
    fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
  }
  *readEnd = ends[0];
  *writeEnd = ends[1];
  return true;
}

}  // namespace

struct VELApplication::Registration {
  int descriptor;
  bool isWatch;                        // AddWatch rather than AddFileDescriptor
  bool read;                           // watches only: poll for readability
  bool write;                          // watches only: poll for writability
  bool removed;                        // ended; skipped by the turn that still holds it
  VELCommand* owner;                   // AddFileDescriptor only; not owned
  void* data;                          // AddFileDescriptor only; handed back to the callback
  VELFileDescriptorCallback callback;  // AddFileDescriptor only
  WatchCallback watch;                 // AddWatch only
};

struct VELApplication::Timer {
  int id;
  Clock::time_point deadline;
  bool removed;
  std::function<void()> callback;
};

VELApplication::VELApplication() : _turnDepth(0), _wakeRead(-1), _wakeWrite(-1), _stopRequested(false) {
  // Without the pipe, Stop() still sets the flag; it is then only seen after the current wait.
  MakePipe(&_wakeRead, &_wakeWrite);
  if (g_mainApplication == nullptr) {
    g_mainApplication = this;
  }
}

VELApplication::~VELApplication() {
  if (g_mainApplication == this) {
    g_mainApplication = nullptr;
  }
  RunTurnEndTasks();
  // Callbacks may own resources (the host sockets hand connections to them); they are released with no
  // main application left, so their destructors cannot call back into this one.
  std::vector<std::shared_ptr<Registration>> registrations;
  registrations.swap(_registrations);
  for (const auto& registration : registrations) {
    registration->removed = true;
  }
  std::map<int, std::shared_ptr<Timer>> timers;
  timers.swap(_timers);
  registrations.clear();
  timers.clear();
  RunTurnEndTasks();
  if (_wakeRead >= 0) {
    close(_wakeRead);
  }
  if (_wakeWrite >= 0) {
    close(_wakeWrite);
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
  for (const auto& registration : _registrations) {
    if (!registration->isWatch && registration->descriptor == descriptor && registration->owner == owner) {
      return VEL_E_FAIL;
    }
  }
  auto registration = std::make_shared<Registration>();
  registration->descriptor = descriptor;
  registration->isWatch = false;
  registration->read = true;
  registration->write = false;
  registration->removed = false;
  registration->owner = owner;
  registration->data = data;
  registration->callback = callback;
  _registrations.push_back(std::move(registration));
  return VEL_S_OK;
}

int VELApplication::RemoveFileDescriptor(int descriptor, VELCommand* owner) {
  for (const auto& registration : _registrations) {
    if (!registration->isWatch && registration->descriptor == descriptor && registration->owner == owner) {
      Unregister(registration);
      return VEL_S_OK;
    }
  }
  return VEL_E_FAIL;
}

int VELApplication::AddWatch(int descriptor, bool read, bool write, WatchCallback callback) {
  if (descriptor < 0 || !callback) {
    return VEL_E_FAIL;
  }
  for (const auto& registration : _registrations) {
    if (registration->isWatch && registration->descriptor == descriptor) {
      return VEL_E_FAIL;
    }
  }
  auto registration = std::make_shared<Registration>();
  registration->descriptor = descriptor;
  registration->isWatch = true;
  registration->read = read;
  registration->write = write;
  registration->removed = false;
  registration->owner = nullptr;
  registration->data = nullptr;
  registration->callback = nullptr;
  registration->watch = std::move(callback);
  _registrations.push_back(std::move(registration));
  return VEL_S_OK;
}

int VELApplication::ModifyWatch(int descriptor, bool read, bool write) {
  for (const auto& registration : _registrations) {
    if (registration->isWatch && registration->descriptor == descriptor) {
      registration->read = read;
      registration->write = write;
      return VEL_S_OK;
    }
  }
  return VEL_E_FAIL;
}

int VELApplication::RemoveWatch(int descriptor) {
  for (const auto& registration : _registrations) {
    if (registration->isWatch && registration->descriptor == descriptor) {
      Unregister(registration);
      return VEL_S_OK;
    }
  }
  return VEL_E_FAIL;
}

void VELApplication::Unregister(const std::shared_ptr<Registration>& registration) {
  // Keep our own reference: the argument may be the very element erased below.
  std::shared_ptr<Registration> kept = registration;
  kept->removed = true;
  _registrations.erase(std::remove(_registrations.begin(), _registrations.end(), kept), _registrations.end());
}

int VELApplication::AddTimer(int delayMs, std::function<void()> callback) {
  if (!callback) {
    return 0;
  }
  auto timer = std::make_shared<Timer>();
  timer->id = NextTimerId();
  timer->deadline = Clock::now() + std::chrono::milliseconds(std::max(delayMs, 0));
  timer->removed = false;
  timer->callback = std::move(callback);
  int id = timer->id;
  _timers[id] = std::move(timer);
  return id;
}

void VELApplication::CancelTimer(int id) {
  auto found = _timers.find(id);
  if (found == _timers.end()) {
    return;
  }
  found->second->removed = true;
  _timers.erase(found);
}

bool VELApplication::DeferToTurnEnd(std::function<void()> task) {
  if (_turnDepth == 0 || !task) {
    return false;
  }
  _turnEndTasks.push_back(std::move(task));
  return true;
}

void VELApplication::Stop() {
  // Runs in signal handlers too: nothing but an atomic store and one write, and errno is preserved.
  int savedErrno = errno;
  _stopRequested.store(true);
  if (_wakeWrite >= 0) {
    ssize_t ignored = write(_wakeWrite, "s", 1);
    (void)ignored;
  }
  errno = savedErrno;
}

int VELApplication::Run() {
  int result = VEL_S_OK;
  while (!_stopRequested.load()) {
    if (RunOnce(-1) < 0) {
      result = VEL_E_FAIL;
      break;
    }
  }
  _stopRequested.store(false);
  return result;
}

int VELApplication::WaitTimeout(int timeoutMs) const {
  int wait = timeoutMs < 0 ? -1 : timeoutMs;
  if (_timers.empty() || wait == 0) {
    return wait;
  }
  Clock::time_point earliest = Clock::time_point::max();
  for (const auto& entry : _timers) {
    earliest = std::min(earliest, entry.second->deadline);
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
  std::vector<std::shared_ptr<Registration>> snapshot = _registrations;
  std::vector<pollfd> descriptors;
  descriptors.reserve(snapshot.size() + 1);
  descriptors.push_back(pollfd{_wakeRead, POLLIN, 0});
  for (const auto& registration : snapshot) {
    short events = POLLIN;
    if (registration->isWatch) {
      events = static_cast<short>((registration->read ? POLLIN : 0) | (registration->write ? POLLOUT : 0));
    }
    // poll() ignores negative descriptors: a watch that asks for nothing must not report hang-ups.
    descriptors.push_back(pollfd{events != 0 ? registration->descriptor : -1, events, 0});
  }

  int served = 0;
  int ready = poll(descriptors.data(), descriptors.size(), WaitTimeout(timeoutMs));
  if (ready < 0 && errno != EINTR) {
    served = -1;
  }
  if (ready > 0) {
    if (descriptors[0].revents != 0) {
      char drain[64];
      while (read(_wakeRead, drain, sizeof(drain)) > 0) {
      }
    }
    for (size_t i = 0; i < snapshot.size(); ++i) {
      const std::shared_ptr<Registration>& registration = snapshot[i];
      short revents = descriptors[i + 1].revents;
      if (revents == 0 || registration->removed) {
        continue;
      }
      if (revents & POLLNVAL) {
        // Closed while still registered: it would be reported on every turn, so it is dropped. A watch
        // hears of it once, so that its owner can release what it holds.
        Unregister(registration);
        if (registration->isWatch) {
          registration->watch(registration->descriptor, false, false, true);
          ++served;
        }
        continue;
      }
      if (!registration->isWatch) {
        registration->callback(registration->descriptor, nullptr, registration->data);
      } else {
        registration->watch(registration->descriptor, (revents & (POLLIN | POLLHUP)) != 0,
                            (revents & POLLOUT) != 0, (revents & POLLERR) != 0);
      }
      ++served;
    }
  }
  if (served >= 0) {
    served += ServeTimers();
  }
  snapshot.clear();
  --_turnDepth;
  if (_turnDepth == 0) {
    RunTurnEndTasks();
  }
  return served;
}

int VELApplication::ServeTimers() {
  Clock::time_point now = Clock::now();
  std::vector<std::shared_ptr<Timer>> due;
  for (const auto& entry : _timers) {
    if (entry.second->deadline <= now) {
      due.push_back(entry.second);
    }
  }
  std::sort(due.begin(), due.end(), [](const std::shared_ptr<Timer>& a, const std::shared_ptr<Timer>& b) {
    return a->deadline != b->deadline ? a->deadline < b->deadline : a->id < b->id;
  });
  int served = 0;
  for (const auto& timer : due) {
    if (timer->removed) {
      continue;
    }
    timer->removed = true;
    _timers.erase(timer->id);
    timer->callback();
    ++served;
  }
  return served;
}

void VELApplication::RunTurnEndTasks() {
  // A task that turns the loop itself may queue more; they run in this same pass.
  while (!_turnEndTasks.empty()) {
    std::vector<std::function<void()>> tasks;
    tasks.swap(_turnEndTasks);
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
