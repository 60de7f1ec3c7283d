// How much of what the default peer (VELP2PPeer::GetLocalPeer) sent is still on its way.
#ifndef VELP2P_VELP2PSENDING_H
#define VELP2P_VELP2PSENDING_H

#include "velp2p/VELExport.h"

// Blocks accepted by a send to one peer (a message, a session event, an answer) that the receiver has not
// taken yet. Blocks queued before a Disconnect are still delivered while the loop runs (for
// at most 30 s) and count here until then; a program that ends right after sending can run its loop until
// this is 0.
VELP2P_API int VELP2PPendingSends();

#endif
