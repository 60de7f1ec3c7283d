// Cutting a long payload into a fragment group, and marking the blocks built for its pieces.
#ifndef VELP2P_WIRE_VELP2PFRAGMENTER_H
#define VELP2P_WIRE_VELP2PFRAGMENTER_H

#include <cstdint>
#include <vector>

#include "velp2p/VELResult.h"

// One piece of a payload: the bytes at offset, and the fragment kind (VELP2P_MESSAGE_GROUP_BEGIN, _MIDDLE or
// _END) of the block that carries them.
struct VELP2PFragmentPiece {
  int offset;
  int length;
  int kind;
};

// The pieces of a payload of length bytes cut every fragmentSize bytes: a first piece, middle pieces, and a
// last piece that ends at length (a last piece of fragmentSize bytes when length is a multiple of it). Empty
// when length is not larger than fragmentSize or fragmentSize is not positive: such a payload goes whole,
// since a group needs at least a first and a last fragment.
std::vector<VELP2PFragmentPiece> VELP2PPlanFragments(int length, int fragmentSize);

// Turns a whole block of size bytes, as VELP2PHeader built it, into a fragment of the given kind: clears
// VELP2P_MESSAGE_SINGLE (and any other group bit), sets kind, and writes grpId in network order at bytes 80
// to 83 (first and middle) or 76 to 79 (last); a first fragment also gets total, the payload length of the
// whole message, at bytes 84 to 87. Fails, changing nothing, for a null or short block or an unknown kind.
VELResult VELP2PMarkFragment(char* block, int size, int kind, uint32_t grpId, uint32_t total);

#endif
