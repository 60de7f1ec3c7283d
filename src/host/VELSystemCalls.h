// Counts the system calls of the host layer (its sockets and the loop's descriptors), so that a test can
// show that a path makes none instead of timing it.
#ifndef VELP2P_HOST_VELSYSTEMCALLS_H
#define VELP2P_HOST_VELSYSTEMCALLS_H

#include <cstdint>

class VELSystemCalls {
 public:
  // Calls made on the calling thread so far.
  static uint64_t Count() { return _count; }

 private:
  template <typename T>
  friend T VELSys(T result);

  static inline thread_local uint64_t _count = 0;
};

// Wraps every such call where it is made, VELSys(close(descriptor)), and leaves errno as the call set it.
template <typename T>
inline T VELSys(T result) {
  ++VELSystemCalls::_count;
  return result;
}

#endif
