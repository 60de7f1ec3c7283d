// Building a block and taking its bytes, which every sender does in one breath.
#ifndef VELP2P_WIRE_VELP2PBUILTBLOCK_H
#define VELP2P_WIRE_VELP2PBUILTBLOCK_H

#include "velp2p/VELP2PHeader.h"

// The bytes header was just built into: built's own failure, or the header's buffer, which stays the
// header's.
[[nodiscard]] inline VELResult VELP2PBuiltBlock(VELResult built, VELP2PHeader& header, char*& bytes,
                                                int& length) {
  return VEL_FAILED(built) ? built : header.GetBuffer(bytes, length);
}

#endif
