// What an endpoint needs from the peer that registered it: somewhere to hand received messages, and the
// identity that blocks it builds carry. The peer gives it at registration, so transport never reaches up.
#ifndef VELP2P_TRANSPORT_VELP2PRECEIVER_H
#define VELP2P_TRANSPORT_VELP2PRECEIVER_H

#include "velp2p/VELResult.h"
#include "wire/VELP2PSenderIdentity.h"

class VELP2PHeader;

class VELP2PReceiver {
 public:
  // One whole message, parsed and checked, received by a unicast endpoint or by a multicast one.
  virtual VELResult Receive(VELP2PHeader& header, bool byUnicast) = 0;
  // The sender fields of a block built in mode 0 (unicast: the other kind is multicast) or 1 (multicast).
  virtual VELResult GetSenderIdentity(int mode, VELP2PSenderIdentity& identity) = 0;

 protected:
  ~VELP2PReceiver() = default;
};

#endif
