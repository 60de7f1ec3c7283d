// One loop timer that an object keeps armed for the earliest moment it has work due, instead of a periodic
// tick: a loop with nothing due sleeps.
#ifndef VELP2P_HOST_VELDUETIMER_H
#define VELP2P_HOST_VELDUETIMER_H

#include <chrono>
#include <functional>

#include "host/VELLoopLink.h"

class VELApplication;

// Arming for a moment later than the one pending changes nothing; for an earlier one, moves the timer. The
// callback runs once per firing, from the loop, and re-arms the timer itself when more work is due. The loop
// and the timer may be destroyed in either order.
class VELDueTimer {
 public:
  using Clock = std::chrono::steady_clock;

  VELDueTimer(VELApplication* application, std::function<void()> callback);
  ~VELDueTimer();
  VELDueTimer(const VELDueTimer&) = delete;
  VELDueTimer& operator=(const VELDueTimer&) = delete;

  void ArmAt(Clock::time_point due);
  void Cancel();
  bool Armed() const { return _id != 0; }
  // The moment the timer is armed for; meaningful while Armed().
  Clock::time_point Due() const { return _due; }
  // How many times the callback ran.
  int Firings() const { return _firings; }

 private:
  void Fire();

  VELApplication* _application;  // used only while _loop says it lives
  VELLoopLink _loop;
  std::function<void()> _callback;
  int _id = 0;  // the loop's timer, 0 when none is pending
  Clock::time_point _due;
  int _firings = 0;
};

#endif
