// Why the local peer is closing, for whoever handles its close notification.
#ifndef VELP2P_VELP2PCLOSEREASON_H
#define VELP2P_VELP2PCLOSEREASON_H

#include "velp2p/VELExport.h"

// While VELP2PClosePeerNotif is being fired because another peer already uses the local peer's name:
// "name in use". Null at any other time, in particular for a close the application asked for.
VELP2P_API const char* VELP2PCloseReason();

#endif
