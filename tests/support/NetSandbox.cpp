#include "support/NetSandbox.h"

#include <net/if.h>
#include <unistd.h>

#include <cstring>

bool VELTestInPrivateNetwork() {
  struct if_nameindex* interfaces = if_nameindex();
  if (interfaces == nullptr) {
    return false;
  }
  bool onlyLoopback = true;
  bool sawLoopback = false;
  for (struct if_nameindex* entry = interfaces; entry->if_index != 0; ++entry) {
    if (std::strcmp(entry->if_name, "lo") == 0) {
      sawLoopback = true;
    } else {
      onlyLoopback = false;
    }
  }
  if_freenameindex(interfaces);
  return onlyLoopback && sawLoopback;
}

unsigned short VELTestPort(int offset) {
  return static_cast<unsigned short>(20000 + (getpid() % 400) * 100 + offset % 100);
}
