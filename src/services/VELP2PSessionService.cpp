#include "velp2p/VELP2PSessionService.h"

#include "host/VELTraceMacros.h"
#include "services/VELP2PReceivedMessage.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PPeer.h"

VEL_IMPLEMENT_CLASS(VELP2PSessionService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PSessionService)

namespace {

constexpr size_t kFixedPart = 9;  // event type, session type, name length

}  // namespace

VELP2PSessionService::VELP2PSessionService() {
  VELP2P_TRACE("VELP2PSessionService - Constructor");
}

VELP2PSessionService::~VELP2PSessionService() {
  VELP2P_TRACE("VELP2PSessionService - Destructor");
}

VELResult VELP2PSessionService::Initialize() {
  VELP2P_TRACE("VELP2PSessionService - Initialize");
  return VEL_S_OK;
}

VELResult VELP2PSessionService::internalFilterMessageFromGroup(VELUnicodeString&) {
  VELP2P_TRACE("VELP2PSessionService - internalFilterMessageFromGroup");
  return VEL_S_OK;
}

VELResult VELP2PSessionService::HandleMessage(VELIP2PMessage* message) {
  VELP2P_TRACE("VELP2PSessionService - HandleMessage");
  if (!message)
    return VEL_E_FAIL;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (!peer)
    return VEL_E_FAIL;
  VELP2PReceivedMessage received;
  VELResult result = received.Read(message);
  if (VEL_FAILED(result))
    return result;
  const VELUnicodeString localName(*peer->GetPeerName());

  const std::vector<char>& payload = received.payload;
  int32_t sessionType = 0;
  int32_t nameBytes = 0;
  if (!VELP2PReadInt32LE(payload, 1, sessionType) || !VELP2PReadInt32LE(payload, 5, nameBytes))
    return VEL_E_FAIL;
  if (nameBytes <= 0 || payload.size() - kFixedPart < static_cast<size_t>(nameBytes))
    return VEL_E_FAIL;
  const unsigned char eventType = static_cast<unsigned char>(payload[0]);
  // The name's length counts the bytes of its UTF-8 form.
  VELUnicodeString named(payload.data() + kFixedPart, nameBytes);
  // The sender's own copy names the other peer; the other peer's message names the local one.
  VELUnicodeString& otherParty = named == localName ? received.sender : named;
  (void)peer->NewPeerSessionEvent(otherParty, sessionType, eventType);
  return VEL_S_OK;
}
