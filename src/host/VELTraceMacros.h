// Writing to the library's trace channel without formatting anything while tracing is inactive.
#ifndef VELP2P_HOST_VELTRACEMACROS_H
#define VELP2P_HOST_VELTRACEMACROS_H

#include "velp2p/VELTrace.h"

#define VELP2P_TRACE(text)              \
  do {                                  \
    if (VELTrace::IsActive())           \
      VELP2PCoreTrace().TraPutLN(text); \
  } while (0)

#define VELP2P_TRACEF(...)                     \
  do {                                         \
    if (VELTrace::IsActive())                  \
      VELP2PCoreTrace().TraPrint(__VA_ARGS__); \
  } while (0)

// Forgets whether tracing was switched on, so that the next trace reads VELP2PTrace again (tests only).
void VELTraceResetForTests();

#endif
