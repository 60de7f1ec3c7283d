#include "core/VELP2PReceivedMessage.h"

#include "velp2p/VELP2PHeader.h"
#include "wire/VELP2PMessage.h"

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
  payload = std::string_view();
  auto* own = dynamic_cast<VELP2PMessage*>(message);
  VELP2PHeader* header = own ? own->ReadableHeader() : nullptr;
  if (length > 0 && header && header->GetPayload() && header->GetPayloadLength() == length) {
    payload = std::string_view(header->GetPayload(), static_cast<size_t>(length));
  } else if (length > 0) {
    copied.assign(static_cast<size_t>(length), '\0');
    result = message->GetBuffer(copied.data());
    if (VEL_FAILED(result))
      return result;
    payload = std::string_view(copied.data(), copied.size());
  }
  multicast = message->IsMulticast() != 0;
  return VEL_S_OK;
}
