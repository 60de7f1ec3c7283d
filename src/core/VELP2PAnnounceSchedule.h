// When the local peer announces itself again: often just after its start, so that a birth lost on the way
// is made up for within seconds, then once a period, with jitter so that peers started together spread out.
#ifndef VELP2P_CORE_VELP2PANNOUNCESCHEDULE_H
#define VELP2P_CORE_VELP2PANNOUNCESCHEDULE_H

#include <cstdint>
#include <random>

// The first gaps are 1, 1.5, 2, 2.5 and 3 s (announcements at about 1, 2.5, 4.5, 7 and 10 s after the
// start), each at most the period; every later gap is the period. Every gap moves by up to a tenth either
// way.
class VELP2PAnnounceSchedule {
 public:
  static constexpr int kEarlyGapsMs[] = {1000, 1500, 2000, 2500, 3000};
  static constexpr int kEarlyCount = sizeof(kEarlyGapsMs) / sizeof(kEarlyGapsMs[0]);

  explicit VELP2PAnnounceSchedule(uint32_t seed) : _random(seed) {}

  // The wait before the next announcement, in milliseconds, for the period now.
  int NextGapMs(int periodMs);
  // The next gap is the first one again.
  void Restart() { _taken = 0; }

 private:
  int _taken = 0;  // gaps given since the start
  std::minstd_rand _random;
};

#endif
