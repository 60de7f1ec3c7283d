#include "host/VELNetResolve.h"

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "velp2p/VELSystem.h"

namespace {

std::function<VELResult(const std::string&, std::vector<VELIPv4>&)>& Override() {
  static std::function<VELResult(const std::string&, std::vector<VELIPv4>&)> resolver;
  return resolver;
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

VELResult VELLocalIPv4(std::string& dotted) {
  VELSystemInfo info;
  std::memset(&info, 0, sizeof(info));
  if (VEL_FAILED(VELGetSystemInfo(&info)))
    return VEL_E_FAIL;
  info.hostName[sizeof(info.hostName) - 1] = '\0';
  std::vector<VELIPv4> addresses;
  if (VEL_FAILED(VELResolveIPv4(info.hostName, addresses)) || addresses.empty())
    return VEL_E_FAIL;
  dotted = VELDottedIPv4(addresses.front());
  return VEL_S_OK;
}
