#include "velp2p/VELTime.h"

time_t VELTime::Gettime_t() {
  return std::time(nullptr);
}
