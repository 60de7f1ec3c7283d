#include "host/VELNetResolve.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/VELSystem.h"
#include "host/VELSystemCalls.h"

namespace {

std::function<VELResult(const std::string&, std::vector<VELIPv4>&)>& Override() {
  static std::function<VELResult(const std::string&, std::vector<VELIPv4>&)> resolver;
  return resolver;
}

std::function<VELResult(VELIPv4&)>& RoutableOverride() {
  static std::function<VELResult(VELIPv4&)> routable;
  return routable;
}

bool IsLoopback(const VELIPv4& address) {
  return address[0] == 127;
}

bool IsUsable(const VELIPv4& address) {
  return !IsLoopback(address) && address != VELIPv4{0, 0, 0, 0};
}

// The source address the kernel picks for a datagram to a multicast group. Connecting a datagram socket
// only looks the route up: nothing is sent.
bool MulticastRouteSource(VELIPv4& address) {
  int descriptor = VELSys(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (descriptor < 0)
    return false;
  sockaddr_in group;
  std::memset(&group, 0, sizeof(group));
  group.sin_family = AF_INET;
  group.sin_port = htons(9);
  group.sin_addr.s_addr = htonl(INADDR_ALLHOSTS_GROUP);
  sockaddr_in source;
  socklen_t length = sizeof(source);
  bool found = VELSys(connect(descriptor, reinterpret_cast<const sockaddr*>(&group), sizeof(group))) == 0 &&
               VELSys(getsockname(descriptor, reinterpret_cast<sockaddr*>(&source), &length)) == 0 &&
               source.sin_family == AF_INET;
  VELSys(close(descriptor));
  if (found)
    std::memcpy(address.data(), &source.sin_addr.s_addr, 4);
  return found && IsUsable(address);
}

bool FirstInterfaceAddress(VELIPv4& address) {
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0)
    return false;
  bool found = false;
  for (ifaddrs* entry = interfaces; entry && !found; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP) ||
        (entry->ifa_flags & IFF_LOOPBACK))
      continue;
    std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr, 4);
    found = IsUsable(address);
  }
  freeifaddrs(interfaces);
  return found;
}

}  // namespace

std::string VELGetHostName() {
  char buffer[256] = {0};
  if (gethostname(buffer, sizeof(buffer) - 1) != 0)
    return std::string();
  return std::string(buffer);
}

VELResult VELResolveIPv4(const std::string& name, std::vector<VELIPv4>& addresses) {
  if (Override())
    return Override()(name, addresses);
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &results) != 0 || !results)
    return VEL_E_FAIL;
  size_t before = addresses.size();
  for (addrinfo* entry = results; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in))
      continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    VELIPv4 address;
    std::memcpy(address.data(), &in->sin_addr.s_addr, 4);
    bool seen = false;
    for (size_t i = before; i < addresses.size(); ++i)
      seen = seen || addresses[i] == address;
    if (!seen)
      addresses.push_back(address);
  }
  freeaddrinfo(results);
  return addresses.size() > before ? VEL_S_OK : VEL_E_FAIL;
}

void VELSetResolverOverride(std::function<VELResult(const std::string&, std::vector<VELIPv4>&)> resolver) {
  Override() = std::move(resolver);
}

std::string VELDottedIPv4(const VELIPv4& address) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
  return std::string(text);
}

VELResult VELRoutableIPv4(VELIPv4& address) {
  if (RoutableOverride())
    return RoutableOverride()(address);
  if (Override())
    return VEL_E_FAIL;
  return MulticastRouteSource(address) || FirstInterfaceAddress(address) ? VEL_S_OK : VEL_E_FAIL;
}

std::vector<VELIPv4> VELHostIPv4() {
  VELSystemInfo info;
  std::memset(&info, 0, sizeof(info));
  std::vector<VELIPv4> resolved;
  if (VEL_SUCCEEDED(VELGetSystemInfo(&info))) {
    info.hostName[sizeof(info.hostName) - 1] = '\0';
    (void)VELResolveIPv4(info.hostName, resolved);
  }
  if (std::any_of(resolved.begin(), resolved.end(), [](const VELIPv4& a) { return !IsLoopback(a); }))
    return resolved;
  VELIPv4 routable;
  if (VEL_SUCCEEDED(VELRoutableIPv4(routable)))
    return {routable};
  return resolved;
}

VELResult VELLocalIPv4(std::string& dotted) {
  std::vector<VELIPv4> addresses = VELHostIPv4();
  if (addresses.empty())
    return VEL_E_FAIL;
  dotted = VELDottedIPv4(addresses.front());
  return VEL_S_OK;
}

void VELSetRoutableOverride(std::function<VELResult(VELIPv4&)> routable) {
  RoutableOverride() = std::move(routable);
}
