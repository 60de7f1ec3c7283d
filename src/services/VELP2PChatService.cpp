#include "services/VELP2PChatService.h"

#include "core/VELP2PReceivedMessage.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELP2PPayloads.h"

VEL_IMPLEMENT_CLASS(VELP2PChatService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PChatService)

VELP2PChatService::VELP2PChatService() : VELP2PCoreService(true) {
  VELP2P_TRACE("VELP2PChatService - Constructor");
}

VELP2PChatService::~VELP2PChatService() {
  VELP2P_TRACE("VELP2PChatService - Destructor");
}

VELResult VELP2PChatService::Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage*) {
  VELP2PChatPayload chat;
  if (!VELP2PReadChat(received.payload.data(), received.payload.size(), chat))
    return VEL_E_FAIL;
  VELUnicodeString header(chat.header, chat.headerBytes);
  // The notification points into the received payload, which lives until this call returns.
  (void)peer.NewPeerMessageReceivedNotif(received.sender, header, chat.type, const_cast<char*>(chat.data),
                                         chat.dataBytes);
  return VEL_S_OK;
}
