// What a service reads out of a received message before it looks at the payload.
#ifndef VELP2P_CORE_VELP2PRECEIVEDMESSAGE_H
#define VELP2P_CORE_VELP2PRECEIVEDMESSAGE_H

#include <vector>

#include "velp2p/VELIP2PMessage.h"
#include "velp2p/VELUnicodeString.h"

struct VELP2PReceivedMessage {
  VELUnicodeString group;
  VELUnicodeString sender;
  std::vector<char> payload;  // a copy; empty when the message carried none
  bool multicast = false;

  // Reads group, sender and payload in that order; a failing accessor's result is returned unchanged.
  VELResult Read(VELIP2PMessage* message);
};

#endif
