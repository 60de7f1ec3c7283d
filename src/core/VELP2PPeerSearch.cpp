// Cross-group search: the peer forgets the last results and asks its discovery service to search.
#include <new>

#include "host/VELLastError.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"

VELResult VELP2PPeer::CrossGroupPeerSearch() {
  VELP2P_TRACE("VELP2PPeer - CrossGroupPeerSearch");
  if (_connected == 0)
    return VELFail(VELP2P_ERROR_NOT_CONNECTED);
  if (_crossGroupPeers)
    _crossGroupPeers->ApplyDelete();
  auto* notification = new (std::nothrow) VELP2PPeerSearchNotif(&_peerName);
  if (notification) {
    DispatchCallbacks(this, notification);
    notification->Release();
  }
  return VEL_S_OK;
}
