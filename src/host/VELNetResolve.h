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

// The address that reaches this host from the local network: the source address of the route multicast
// takes (224.0.0.0/4), or else the first IPv4 address of an interface that is up and is not loopback.
// VEL_E_FAIL when there is none (a host with loopback only). Looks nothing up by name.
VELResult VELRoutableIPv4(VELIPv4& address);

// The IPv4 addresses of the system's host name, in the resolver's order, unless none of them reaches this
// host from another one (the name does not resolve, or only to loopback: stock Debian maps the host name to
// 127.0.1.1); then the routable address alone when there is one. Empty when there is nothing at all.
std::vector<VELIPv4> VELHostIPv4();

// The first of VELHostIPv4, dotted. VEL_E_FAIL when there is none.
VELResult VELLocalIPv4(std::string& dotted);

// Tests replace the resolver (null restores the system's). The function answers like VELResolveIPv4. While
// it is replaced, the host has no routable address unless VELSetRoutableOverride gives one.
void VELSetResolverOverride(std::function<VELResult(const std::string&, std::vector<VELIPv4>&)> resolver);
// Tests replace VELRoutableIPv4 (null restores the system's).
void VELSetRoutableOverride(std::function<VELResult(VELIPv4&)> routable);

#endif
