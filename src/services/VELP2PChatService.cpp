#include "velp2p/VELP2PChatService.h"

#include "host/VELTraceMacros.h"
#include "services/VELP2PReceivedMessage.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PPeer.h"

VEL_IMPLEMENT_CLASS(VELP2PChatService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PChatService)

namespace {

constexpr size_t kFixedPart = 5;  // type, header length

}  // namespace

VELP2PChatService::VELP2PChatService() {
  VELP2P_TRACE("VELP2PChatService - Constructor");
}

VELP2PChatService::~VELP2PChatService() {
  VELP2P_TRACE("VELP2PChatService - Destructor");
}

VELResult VELP2PChatService::Initialize() {
  VELP2P_TRACE("VELP2PChatService - Initialize");
  return VEL_S_OK;
}

VELResult VELP2PChatService::internalFilterMessageFromGroup(VELUnicodeString&) {
  VELP2P_TRACE("VELP2PChatService - internalFilterMessageFromGroup");
  return VEL_S_OK;
}

VELResult VELP2PChatService::HandleMessage(VELIP2PMessage* message) {
  VELP2P_TRACE("VELP2PChatService - HandleMessage");
  if (!message)
    return VEL_E_FAIL;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (!peer)
    return VEL_E_FAIL;
  VELP2PReceivedMessage received;
  VELResult result = received.Read(message);
  if (VEL_FAILED(result))
    return result;

  const std::vector<char>& payload = received.payload;
  int32_t headerBytes = 0;
  if (!VELP2PReadInt32LE(payload, 1, headerBytes))
    return VEL_E_FAIL;
  if (headerBytes < 0 || payload.size() - kFixedPart < static_cast<size_t>(headerBytes))
    return VEL_E_FAIL;
  const unsigned char type = static_cast<unsigned char>(payload[0]);
  // The header's length counts the bytes of its UTF-8 form, so any text arrives whole.
  VELUnicodeString header(payload.data() + kFixedPart, headerBytes);
  const size_t dataOffset = kFixedPart + static_cast<size_t>(headerBytes);
  const int dataLength = static_cast<int>(payload.size() - dataOffset);
  // The notification points into the copy, which lives until this call returns.
  char* data = received.payload.data() + dataOffset;
  (void)peer->NewPeerMessageReceivedNotif(received.sender, header, type, data, dataLength);
  return VEL_S_OK;
}
