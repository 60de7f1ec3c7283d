#include "services/VELP2PSessionService.h"

#include "core/VELP2PReceivedMessage.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELP2PPayloads.h"

VEL_IMPLEMENT_CLASS(VELP2PSessionService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PSessionService)

VELP2PSessionService::VELP2PSessionService() : VELP2PCoreService(true) {
  VELP2P_TRACE("VELP2PSessionService - Constructor");
}

VELP2PSessionService::~VELP2PSessionService() {
  VELP2P_TRACE("VELP2PSessionService - Destructor");
}

VELResult VELP2PSessionService::Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage*) {
  VELP2PSessionPayload session;
  if (!VELP2PReadSession(received.payload.data(), received.payload.size(), session))
    return VEL_E_FAIL;
  VELUnicodeString named(session.name, session.nameBytes);
  // The sender's own copy names the other peer; the other peer's message names the local one.
  const bool namesLocal = peer.GetPeerName() && named == *peer.GetPeerName();
  (void)peer.NewPeerSessionEvent(namesLocal ? received.sender : named, session.sessionType, session.event);
  return VEL_S_OK;
}
