#include "host/VELTime.h"

time_t VELTime::Gettime_t() {
  return std::time(nullptr);
}
