// The interface through which a service reads a received message: group, sender, payload and transport.
#ifndef VELP2P_VELIP2PMESSAGE_H
#define VELP2P_VELIP2PMESSAGE_H

#include "velp2p/VELIUnknown.h"
#include "velp2p/VELUnicodeString.h"

VELP2P_API extern const VELIID IID_VELIP2PMessage;

// A message handed to a service is valid only during the call that hands it over. Every operation fails
// (IsMulticast and IsUnicast answer 0) on a message that reads no header.
class VELP2P_API VELIP2PMessage : public VELIUnknown {
 public:
  virtual VELResult GetMessageGroup(VELUnicodeString& group) = 0;
  virtual VELResult GetSendingPeerName(VELUnicodeString& name) = 0;
  // The payload length, to size the buffer given to GetBuffer.
  virtual VELResult GetBufferLenght(int& length) = 0;
  // Copies the whole payload into destination, which must hold GetBufferLenght bytes; fails for an empty
  // payload.
  virtual VELResult GetBuffer(char* destination) = 0;
  // 1 when the message came by multicast, else 0.
  virtual int IsMulticast() = 0;
  // 1 when the message came point to point, else 0.
  virtual int IsUnicast() = 0;

 protected:
  ~VELIP2PMessage() override = default;
};

#endif
