// What a service reads out of a received message before it looks at the payload.
#ifndef VELP2P_CORE_VELP2PRECEIVEDMESSAGE_H
#define VELP2P_CORE_VELP2PRECEIVEDMESSAGE_H

#include <string_view>
#include <vector>

#include "velp2p/VELIP2PMessage.h"
#include "velp2p/VELUnicodeString.h"

struct VELP2PReceivedMessage {
  VELUnicodeString group;
  VELUnicodeString sender;
  // The received bytes themselves when the message is the dispatch's own, valid while it is handled;
  // otherwise a copy held in copied. Empty when the message carried none.
  std::string_view payload;
  bool multicast = false;

  VELP2PReceivedMessage() = default;
  VELP2PReceivedMessage(const VELP2PReceivedMessage&) = delete;
  VELP2PReceivedMessage& operator=(const VELP2PReceivedMessage&) = delete;

  // Reads group, sender and payload in that order; a failing accessor's result is returned unchanged.
  VELResult Read(VELIP2PMessage* message);

 private:
  std::vector<char> copied;
};

#endif
