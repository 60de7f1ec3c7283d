#include "core/VELP2PReceivedMessage.h"

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
