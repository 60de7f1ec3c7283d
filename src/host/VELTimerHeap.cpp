#include "host/VELTimerHeap.h"

#include <algorithm>
#include <atomic>
#include <climits>

namespace {

// Timer ids are unique in the process, so cancelling a stale id on another application cancels nothing.
// Loops may turn on threads of their own.
int NextTimerId() {
  static std::atomic<int> last{0};
  int id = last.load();
  while (!last.compare_exchange_weak(id, id == INT_MAX ? 1 : id + 1)) {
  }
  return id == INT_MAX ? 1 : id + 1;
}

}  // namespace

int VELTimerHeap::Add(int delayMs, std::function<void()> callback) {
  if (!callback) {
    return 0;
  }
  auto timer = std::make_shared<Timer>();
  int id = NextTimerId();
  timer->id = id;
  timer->sequence = _sequence++;
  timer->deadline = Clock::now() + std::chrono::milliseconds(std::max(delayMs, 0));
  timer->removed = false;
  timer->callback = std::move(callback);
  _pending[id] = timer;
  _heap.push_back(std::move(timer));
  std::push_heap(_heap.begin(), _heap.end(), Later());
  return id;
}

void VELTimerHeap::Cancel(int id) {
  auto found = _pending.find(id);
  if (found == _pending.end()) {
    return;
  }
  std::shared_ptr<Timer> timer = std::move(found->second);
  _pending.erase(found);
  timer->removed = true;
  if (_heap.size() > 2 * _pending.size() + 64) {
    Compact();
  }
}

void VELTimerHeap::PopTop() {
  std::pop_heap(_heap.begin(), _heap.end(), Later());
  _heap.pop_back();
}

void VELTimerHeap::Compact() {
  _heap.erase(std::remove_if(_heap.begin(), _heap.end(),
                             [](const std::shared_ptr<Timer>& timer) { return timer->removed; }),
              _heap.end());
  std::make_heap(_heap.begin(), _heap.end(), Later());
}

bool VELTimerHeap::NextDeadline(Clock::time_point* deadline) {
  while (!_heap.empty() && _heap.front()->removed) {
    PopTop();
  }
  if (_heap.empty()) {
    return false;
  }
  *deadline = _heap.front()->deadline;
  return true;
}

int VELTimerHeap::ServeDue() {
  Clock::time_point now = Clock::now();
  // Timers made from here on have later deadlines, or the same one with a later sequence.
  uint64_t limit = _sequence;
  int served = 0;
  while (!_heap.empty()) {
    std::shared_ptr<Timer> timer = _heap.front();
    if (!timer->removed && (timer->deadline > now || timer->sequence >= limit)) {
      break;
    }
    PopTop();
    if (timer->removed) {
      continue;
    }
    timer->removed = true;
    _pending.erase(timer->id);
    timer->callback();
    ++served;
  }
  return served;
}

void VELTimerHeap::Clear() {
  std::vector<std::shared_ptr<Timer>> heap;
  heap.swap(_heap);
  std::unordered_map<int, std::shared_ptr<Timer>> pending;
  pending.swap(_pending);
  for (const auto& timer : heap) {
    timer->removed = true;
  }
}
