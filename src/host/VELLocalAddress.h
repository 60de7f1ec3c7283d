// Whether an IPv4 address belongs to this host, for deciding how far a received address may be trusted.
#ifndef VELP2P_HOST_VELLOCALADDRESS_H
#define VELP2P_HOST_VELLOCALADDRESS_H

#include <cstdint>

// True for 127/8 and for the address of any interface of this host. The interface list is read again at
// most every 10 s (every datagram asks, and reading it costs tens of microseconds); for the loop thread only.
bool VELIsLocalIPv4(uint32_t addressNetworkOrder);

// True for an address no record may name: unspecified (0.0.0.0), multicast (224/4) or broadcast
// (255.255.255.255).
bool VELIsForbiddenIPv4(uint32_t addressNetworkOrder);

bool VELIsLoopbackIPv4(uint32_t addressNetworkOrder);

#endif
