#include "support/NetSandbox.h"

#include <net/if.h>
#include <unistd.h>

#include <cstring>

bool VELTestInPrivateNetwork() {
  struct if_nameindex* interfaces = if_nameindex();
  if (interfaces == nullptr)
    return false;
  // Interface names are unique: one interface, named lo.
  const bool onlyLoopback = interfaces[0].if_index != 0 && std::strcmp(interfaces[0].if_name, "lo") == 0 &&
                            interfaces[1].if_index == 0;
  if_freenameindex(interfaces);
  return onlyLoopback;
}

unsigned short VELTestPort(int offset) {
  return static_cast<unsigned short>(20000 + (getpid() % 400) * 100 + offset % 100);
}
