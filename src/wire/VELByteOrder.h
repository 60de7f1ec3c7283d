// Big-endian stores and loads at a byte address, for the fields that the wire layouts keep in network order.
#ifndef VELP2P_WIRE_VELBYTEORDER_H
#define VELP2P_WIRE_VELBYTEORDER_H

#include <cstdint>

// The callers have already checked that the bytes lie inside their buffer; these only fix the byte order, so
// that no field depends on the alignment or the endianness of the machine.
inline void VELP2PStoreU16BE(void* at, uint16_t value) {
  uint8_t* p = static_cast<uint8_t*>(at);
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

inline void VELP2PStoreU32BE(void* at, uint32_t value) {
  uint8_t* p = static_cast<uint8_t*>(at);
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
}

inline uint16_t VELP2PLoadU16BE(const void* at) {
  const uint8_t* p = static_cast<const uint8_t*>(at);
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t VELP2PLoadU32BE(const void* at) {
  const uint8_t* p = static_cast<const uint8_t*>(at);
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

#endif
