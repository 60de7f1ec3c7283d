#include "host/VELLocalAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

bool VELIsLoopbackIPv4(uint32_t addressNetworkOrder) {
  return (ntohl(addressNetworkOrder) >> 24) == 127;
}

bool VELIsForbiddenIPv4(uint32_t addressNetworkOrder) {
  uint32_t address = ntohl(addressNetworkOrder);
  return address == 0 || address == 0xFFFFFFFFu || (address >> 28) == 0xE;
}

bool VELIsLocalIPv4(uint32_t addressNetworkOrder) {
  if (VELIsLoopbackIPv4(addressNetworkOrder))
    return true;
  // The host's addresses, read again every ten seconds at most; shared by the loops of every thread.
  static std::mutex mutex;
  static std::vector<uint32_t> local;
  static std::chrono::steady_clock::time_point readAt;
  static bool read = false;
  std::lock_guard<std::mutex> lock(mutex);
  auto now = std::chrono::steady_clock::now();
  if (!read || now - readAt > std::chrono::seconds(10)) {
    read = true;
    readAt = now;
    local.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
      for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET)
          local.push_back(reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
      }
      freeifaddrs(list);
    }
  }
  return std::find(local.begin(), local.end(), addressNetworkOrder) != local.end();
}
