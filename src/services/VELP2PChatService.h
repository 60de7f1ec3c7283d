// The chat service: turns each application message received into a message-received notification.
#ifndef VELP2P_SERVICES_VELP2PCHATSERVICE_H
#define VELP2P_SERVICES_VELP2PCHATSERVICE_H

#include "velp2p/VELP2PCoreService.h"

// An application message is the type (1 byte), the header's length H in bytes (32 bits, little-endian), the H
// bytes of the header's UTF-8 form and the data bytes, which take the rest of the payload.
class VELP2PChatService : public VELP2PCoreService {
  VEL_DECLARE_CLASS(VELP2PChatService)
 public:
  VELP2PChatService();

  // Accepts every group, without the group rule: an application message never makes a group known.
  const char* GetServiceName() override { return "VELP2PChatService"; }

 protected:
  ~VELP2PChatService() override;

  // Fires one VELP2PMessageReceivedNotif per well-formed message; refuses, firing nothing, a payload shorter
  // than its fixed part or whose header length is negative or runs past the payload.
  VELResult Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage* message) override;
};

#endif
