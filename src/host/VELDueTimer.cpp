#include "host/VELDueTimer.h"

#include <climits>

#include "velp2p/VELApplication.h"

VELDueTimer::VELDueTimer(VELApplication* application, std::function<void()> callback)
    : _application(application), _loop(application), _callback(std::move(callback)) {}

VELDueTimer::~VELDueTimer() {
  Cancel();
}

void VELDueTimer::ArmAt(Clock::time_point due) {
  if (_loop.Get() == nullptr || (_id != 0 && _due <= due))
    return;
  Cancel();
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
  // Rounded up, so that the callback never finds its work still a fraction of a millisecond away.
  const auto delayMs = wait.count() <= 0 ? 0 : wait.count() >= INT_MAX ? INT_MAX : wait.count() + 1;
  _due = due;
  _id = _application->AddTimer(static_cast<int>(delayMs), [this]() { Fire(); });
}

void VELDueTimer::Cancel() {
  if (_id != 0 && _loop.Get() != nullptr)
    _application->CancelTimer(_id);
  _id = 0;
}

void VELDueTimer::Fire() {
  _id = 0;
  ++_firings;
  _callback();
}
