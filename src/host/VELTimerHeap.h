// The event loop's one-shot timers: a binary heap ordered by deadline, then by creation.
#ifndef VELP2P_HOST_VELTIMERHEAP_H
#define VELP2P_HOST_VELTIMERHEAP_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

// Cancelling only marks a timer and forgets its id; marked entries leave the heap when they reach its top
// or when they outnumber the live ones, so that a loop that arms and cancels a timer per connection keeps
// a heap the size of what is pending.
class VELTimerHeap {
 public:
  using Clock = std::chrono::steady_clock;

  VELTimerHeap() = default;
  VELTimerHeap(const VELTimerHeap&) = delete;
  VELTimerHeap& operator=(const VELTimerHeap&) = delete;

  // Returns the id (> 0, unique in the process), or 0 for an empty callback.
  int Add(int delayMs, std::function<void()> callback);
  void Cancel(int id);
  // False when no timer is pending.
  bool NextDeadline(Clock::time_point* deadline);
  // Runs, earliest first, the timers that were due and pending when the call began: one that a callback
  // adds waits for a later call, one that a callback cancels is not run. Returns how many ran.
  int ServeDue();
  // Forgets every timer; the callbacks are destroyed after the heap is empty, so their destructors may
  // come back to it.
  void Clear();

 private:
  struct Timer {
    int id;
    uint64_t sequence;  // creation order, breaks deadline ties
    Clock::time_point deadline;
    bool removed;
    std::function<void()> callback;
  };
  struct Later {
    bool operator()(const std::shared_ptr<Timer>& a, const std::shared_ptr<Timer>& b) const {
      return a->deadline != b->deadline ? a->deadline > b->deadline : a->sequence > b->sequence;
    }
  };

  void PopTop();
  void Compact();

  std::vector<std::shared_ptr<Timer>> _heap;                 // live and cancelled ones
  std::unordered_map<int, std::shared_ptr<Timer>> _pending;  // live ones by id
  uint64_t _sequence = 0;
};

#endif
