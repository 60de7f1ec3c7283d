#include "core/VELP2PAnnounceSchedule.h"

#include <algorithm>

int VELP2PAnnounceSchedule::NextGapMs(int periodMs) {
  const bool early = _taken < kEarlyCount;
  const int gap = early ? std::min(kEarlyGapsMs[_taken], periodMs) : periodMs;
  if (early)
    ++_taken;
  const int spread = gap / 10;
  std::uniform_int_distribution<int> jitter(-spread, spread);
  return std::max(1, gap + jitter(_random));
}
