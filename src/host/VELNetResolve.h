// Name resolution for the peer's addresses: the host name and its IPv4 addresses.
#ifndef VELP2P_HOST_VELNETRESOLVE_H
#define VELP2P_HOST_VELNETRESOLVE_H

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "velp2p/VELResult.h"

typedef std::array<uint8_t, 4> VELIPv4;

// The host name as gethostname gives it; an empty text when it cannot be read.
std::string VELGetHostName();

// The IPv4 addresses of name, in the resolver's order. VEL_E_FAIL when the name does not resolve to at
// least one 4-byte address.
VELResult VELResolveIPv4(const std::string& name, std::vector<VELIPv4>& addresses);

// "a.b.c.d" for an address.
std::string VELDottedIPv4(const VELIPv4& address);

// The first IPv4 address of the system's host name, dotted. VEL_E_FAIL when it does not resolve.
VELResult VELLocalIPv4(std::string& dotted);

// Tests replace the resolver (null restores the system's). The function answers like VELResolveIPv4.
void VELSetResolverOverride(std::function<VELResult(const std::string&, std::vector<VELIPv4>&)> resolver);

#endif
