// The layout of a wire block, written into memory the caller provides, so that a sender can build a large
// block in memory that goes back to the system (or is kept for the next one) rather than the heap's.
#ifndef VELP2P_WIRE_VELP2PBLOCKLAYOUT_H
#define VELP2P_WIRE_VELP2PBLOCKLAYOUT_H

#include <cstdint>

#include "velp2p/VELUnicodeString.h"

// What a block carries besides its payload; addresses and ports are record bytes, copied unchanged.
struct VELP2PBlockFields {
  const char* serviceName;
  const char* senderName;
  uint32_t senderAddress;
  uint16_t senderPort;
  uint32_t otherAddress;
  uint16_t otherPort;
  int mode;  // 0: unicast, 1: multicast
};

// The size of the block, or -1 when it cannot be built: null names or data, names over 31 bytes, a group path
// longer than 65535 - 88 bytes, a negative length, more than the largest int, a mode other than 0 and 1.
int VELP2PBlockSize(const VELUnicodeString& group, const VELP2PBlockFields& fields, const char* data,
                    int length);
// Writes the block into VELP2PBlockSize bytes at block; VELP2PBlockSize must have accepted it.
void VELP2PWriteBlock(char* block, const VELUnicodeString& group, const VELP2PBlockFields& fields,
                      const char* data, int length);

#endif
