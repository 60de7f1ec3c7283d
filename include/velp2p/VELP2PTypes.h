// Small types shared by the peer, the wire, the endpoints and the services.
#ifndef VELP2P_VELP2PTYPES_H
#define VELP2P_VELP2PTYPES_H

#include <cstdint>

#include "velp2p/VELListPtr.h"

// A user status; the library itself uses 0 (a peer just born) and 6 (the local status before any change).
typedef int32_t VELP2PUserStatus;

// Bits of the wire header's mode byte.
#define VELP2P_MESSAGE_SINGLE 0x02
#define VELP2P_MESSAGE_UNICAST 0x08
#define VELP2P_MESSAGE_MULTICAST 0x10
#define VELP2P_MESSAGE_GROUP_BEGIN 0x20
#define VELP2P_MESSAGE_GROUP_MIDDLE 0x40
#define VELP2P_MESSAGE_GROUP_END 0x80

// The largest block a multicast datagram carries: receivers read datagrams into buffers of this size.
#define VELP2P_MULTICAST_MAX_BLOCK 1024

// Kinds of an endpoint record: bits. A record is used for point-to-point sending when UNICAST is set and
// MULTICAST is not; STREAMS, on a TCP record, says that the endpoint takes many blocks per connection
// (docs/PROTOCOL.md), and readers that do not know it leave it alone.
#define VELP2P_ENDPOINT_UNICAST 1
#define VELP2P_ENDPOINT_MULTICAST 2
#define VELP2P_ENDPOINT_STREAMS 4

// The 8-byte endpoint record that every endpoint publishes and that peers exchange in payloads.
#pragma pack(push, 1)
struct VELP2PEndPointInfo {
  uint8_t length;    // 8, the record's own length
  uint8_t kind;      // VELP2P_ENDPOINT_UNICAST or VELP2P_ENDPOINT_MULTICAST, and other bits
  uint16_t port;     // network byte order
  uint32_t address;  // as the endpoint class lays it out (unicast: network order; multicast: reversed)
};
#pragma pack(pop)
static_assert(sizeof(VELP2PEndPointInfo) == 8, "the endpoint record is 8 bytes on the wire");

class VELP2PPeer;
class VELP2PEndPoint;
class VELP2PService;
class VELP2PPeerInfo;

typedef VELListPtr<VELP2PEndPoint> VELListPtrVELP2PEndPoint;
typedef VELListPtr<VELP2PEndPointInfo> VELListPtrVELP2PEndPointInfo;
typedef VELListPtr<VELP2PService> VELListPtrVELP2PService;

#endif
