// When the local peer announces itself again: often just after its start, so that a birth lost on the way
// is made up for within seconds, then once a period, with jitter so that peers started together spread out.
#ifndef VELP2P_CORE_VELP2PANNOUNCESCHEDULE_H
#define VELP2P_CORE_VELP2PANNOUNCESCHEDULE_H

#include <cstdint>
#include <random>

// The first gaps are 1, 1.5, 2, 2.5 and 3 s (announcements at about 1, 2.5, 4.5, 7 and 10 s after the
// start), each at most the period; every later gap is the period. Early gaps move by up to a tenth either
// way, periodic ones by up to a fifth.
class VELP2PAnnounceSchedule {
 public:
  static constexpr int kEarlyGapsMs[] = {1000, 1500, 2000, 2500, 3000};
  static constexpr int kEarlyCount = sizeof(kEarlyGapsMs) / sizeof(kEarlyGapsMs[0]);

  VELP2PAnnounceSchedule(int periodMs, uint32_t seed) : _periodMs(periodMs), _random(seed) {}

  // The wait before the next announcement, in milliseconds.
  int NextGapMs();
  // The next gap is the first one again.
  void Restart() { _taken = 0; }
  int PeriodMs() const { return _periodMs; }

 private:
  int _periodMs;
  int _taken = 0;  // gaps given since the start
  std::minstd_rand _random;
};

#endif
