#include "host/VELNetworkWatch.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

#include "host/VELLocalAddress.h"

VELNetworkWatch::VELNetworkWatch(Reader reader) : _reader(reader ? std::move(reader) : Reader(&UsableIPv4)) {}

bool VELNetworkWatch::Regained() {
  std::vector<uint32_t> usable = _reader();
  std::sort(usable.begin(), usable.end());
  bool gained = false;
  for (uint32_t address : usable)
    gained |= !std::binary_search(_usable.begin(), _usable.end(), address);
  gained &= _read;
  _read = true;
  _usable = std::move(usable);
  return gained;
}

std::vector<uint32_t> VELNetworkWatch::UsableIPv4() {
  std::vector<uint32_t> usable;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0)
    return usable;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET ||
        (entry->ifa_flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING))
      continue;
    const uint32_t address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    if (!VELIsLoopbackIPv4(address))
      usable.push_back(address);
  }
  freeifaddrs(list);
  return usable;
}
