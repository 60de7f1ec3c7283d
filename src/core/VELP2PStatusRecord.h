// The status and description the peer keeps for each known peer.
#ifndef VELP2P_CORE_VELP2PSTATUSRECORD_H
#define VELP2P_CORE_VELP2PSTATUSRECORD_H

#include "velp2p/VELP2PTypes.h"
#include "velp2p/VELUnicodeString.h"

struct VELP2PStatusRecord {
  VELP2PUserStatus status;
  VELUnicodeString desc;
};

#endif
