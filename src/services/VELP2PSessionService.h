// The session service: turns each session message received into a session notification naming the other
// party.
#ifndef VELP2P_SERVICES_VELP2PSESSIONSERVICE_H
#define VELP2P_SERVICES_VELP2PSESSIONSERVICE_H

#include "velp2p/VELP2PCoreService.h"

// A session message is the event type (1 byte: '0' opened, '1' closed), the session type (32 bits,
// little-endian), the length n in bytes of the named peer's name (32 bits, little-endian) and the n bytes of
// that name's UTF-8 form. It reaches both the named peer and, as a copy, its sender.
class VELP2PSessionService : public VELP2PCoreService {
  VEL_DECLARE_CLASS(VELP2PSessionService)
 public:
  VELP2PSessionService();

  // Accepts every group ("/Force" included).
  const char* GetServiceName() override { return "VELP2PSessionService"; }

 protected:
  ~VELP2PSessionService() override;

  // Fires one VELP2PSessionNotif naming the other party: the named peer, or the sender when the named peer is
  // the local one. Refuses, firing nothing, a payload shorter than its fixed part, an empty name, or a name
  // length that is negative or runs past the payload.
  VELResult Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage* message) override;
};

#endif
