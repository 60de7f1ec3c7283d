#include "core/VELP2PAnnounceSchedule.h"

#include <algorithm>

int VELP2PAnnounceSchedule::NextGapMs() {
  const bool early = _taken < kEarlyCount;
  const int gap = early ? std::min(kEarlyGapsMs[_taken], _periodMs) : _periodMs;
  if (early)
    ++_taken;
  const int spread = gap / (early ? 10 : 5);
  std::uniform_int_distribution<int> jitter(-spread, spread);
  return std::max(1, gap + jitter(_random));
}
