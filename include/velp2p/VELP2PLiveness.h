// Why a peer is leaving or coming back, for whoever handles the notification being fired.
#ifndef VELP2P_VELP2PLIVENESS_H
#define VELP2P_VELP2PLIVENESS_H

#include "velp2p/VELExport.h"

// While the death, destruction or birth notifications of a peer that the local peer found dead are being
// fired: "expired" (it stopped answering) or "restarted" (it came back with new endpoints and its old ones
// no longer answer). Null at any other time, in particular for announced arrivals and departures.
VELP2P_API const char* VELP2PPresenceReason();

#endif
