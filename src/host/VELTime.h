// Wall-clock time as the library needs it.
#ifndef VELP2P_HOST_VELTIME_H
#define VELP2P_HOST_VELTIME_H

#include <ctime>

class VELTime {
 public:
  // Seconds since 1970-01-01 00:00:00 UTC.
  static time_t Gettime_t();
};

#endif
