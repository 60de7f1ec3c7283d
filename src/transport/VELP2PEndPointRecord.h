// The endpoint records that the endpoint classes announce, and the dotted addresses they are made from.
#ifndef VELP2P_TRANSPORT_VELP2PENDPOINTRECORD_H
#define VELP2P_TRANSPORT_VELP2PENDPOINTRECORD_H

#include <cstdint>

#include "velp2p/VELP2PTypes.h"
#include "velp2p/VELResult.h"

// Reads "a.b.c.d": four decimal numbers 0 to 255 without leading zeros. The limited broadcast address
// 255.255.255.255 is refused, as it names no endpoint. bytes receives a, b, c, d.
bool VELP2PParseDottedAddress(const char* text, uint8_t bytes[4]);

// A TCP endpoint's record: 08 01, the port in network order, then a b c d (the address in network order).
// Fails, leaving record unchanged, for an unreadable address or a port outside 0 to 65535.
VELResult VELP2PMakeUnicastRecord(const char* address, int port, VELP2PEndPointInfo& record);

// A record in the multicast layout: 08, kind, the port in network order, then d c b a (the dotted components
// in reverse order). The multicast endpoint, and the exported base for endpoint classes outside the library,
// lay their records out this way. Fails like VELP2PMakeUnicastRecord.
VELResult VELP2PMakeReversedRecord(const char* address, int port, int kind, VELP2PEndPointInfo& record);

// The record's port in host order.
unsigned short VELP2PRecordPort(const VELP2PEndPointInfo& record);

#endif
