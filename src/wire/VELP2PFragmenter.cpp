#include "wire/VELP2PFragmenter.h"

#include <cstddef>

#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PTypes.h"
#include "wire/VELByteOrder.h"

namespace {

const uint8_t kGroupBits =
    VELP2P_MESSAGE_GROUP_BEGIN | VELP2P_MESSAGE_GROUP_MIDDLE | VELP2P_MESSAGE_GROUP_END;

}  // namespace

std::vector<VELP2PFragmentPiece> VELP2PPlanFragments(int length, int fragmentSize) {
  std::vector<VELP2PFragmentPiece> pieces;
  if (fragmentSize <= 0 || length <= fragmentSize)
    return pieces;
  int count = length / fragmentSize;
  pieces.reserve(count + 1);
  for (int i = 0; i < count; ++i) {
    int offset = i * fragmentSize;
    int kind;
    if (i == 0) {
      kind = VELP2P_MESSAGE_GROUP_BEGIN;
    } else if (length - offset == fragmentSize) {
      kind = VELP2P_MESSAGE_GROUP_END;
    } else {
      kind = VELP2P_MESSAGE_GROUP_MIDDLE;
    }
    pieces.push_back({offset, fragmentSize, kind});
  }
  int sent = count * fragmentSize;
  if (sent < length)
    pieces.push_back({sent, length - sent, VELP2P_MESSAGE_GROUP_END});
  return pieces;
}

VELResult VELP2PMarkFragment(char* block, int size, int kind, uint32_t grpId, uint32_t total) {
  if (!block || size < VELP2P_HEADER_FIXED_SIZE)
    return VEL_E_FAIL;
  if (kind != VELP2P_MESSAGE_GROUP_BEGIN && kind != VELP2P_MESSAGE_GROUP_MIDDLE &&
      kind != VELP2P_MESSAGE_GROUP_END) {
    return VEL_E_FAIL;
  }
  uint8_t& mode = reinterpret_cast<uint8_t&>(block[offsetof(VELP2PHeaderFixedPart, mode)]);
  mode = static_cast<uint8_t>((mode & ~(VELP2P_MESSAGE_SINGLE | kGroupBits)) | kind);
  if (kind == VELP2P_MESSAGE_GROUP_END) {
    VELP2PStoreU32BE(block + offsetof(VELP2PHeaderFixedPart, senderAddress), grpId);
    return VEL_S_OK;
  }
  VELP2PStoreU32BE(block + offsetof(VELP2PHeaderFixedPart, otherAddress), grpId);
  // The announced total takes the place of both ports.
  if (kind == VELP2P_MESSAGE_GROUP_BEGIN)
    VELP2PStoreU32BE(block + offsetof(VELP2PHeaderFixedPart, senderPort), total);
  return VEL_S_OK;
}
