#include "services/VELP2PReceivedMessage.h"

VELResult VELP2PReceivedMessage::Read(VELIP2PMessage* message) {
  if (!message)
    return VEL_E_FAIL;
  VELResult result = message->GetMessageGroup(group);
  if (VEL_FAILED(result))
    return result;
  result = message->GetSendingPeerName(sender);
  if (VEL_FAILED(result))
    return result;
  int length = 0;
  result = message->GetBufferLenght(length);
  if (VEL_FAILED(result))
    return result;
  payload.assign(static_cast<size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    result = message->GetBuffer(payload.data());
    if (VEL_FAILED(result))
      return result;
  }
  multicast = message->IsMulticast() != 0;
  return VEL_S_OK;
}

bool VELP2PReadInt32LE(const std::vector<char>& payload, size_t offset, int32_t& value) {
  if (payload.size() < 4 || payload.size() - 4 < offset)
    return false;
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i)
    bits |= static_cast<uint32_t>(static_cast<unsigned char>(payload[offset + i])) << (8 * i);
  value = static_cast<int32_t>(bits);
  return true;
}

bool VELP2PReadUInt16BE(const std::vector<char>& payload, size_t offset, uint16_t& value) {
  if (payload.size() < 2 || payload.size() - 2 < offset)
    return false;
  value = static_cast<uint16_t>((static_cast<unsigned char>(payload[offset]) << 8) |
                                static_cast<unsigned char>(payload[offset + 1]));
  return true;
}
