// Uses the installed headers and library without touching the network: the local peer exists before it
// starts, and is not started.
#include <cstdio>

#include "velp2p/VELIP2PPeer.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELResult.h"
#include "velp2p/VELVersion.h"

int main() {
  std::printf("velp2p %s (%d.%d.%d)\n", VELP2P_VERSION_STRING, VELP2P_VERSION_MAJOR, VELP2P_VERSION_MINOR,
              VELP2P_VERSION_PATCH);
  VELIP2PPeer* peer = VELIP2PPeerFactory::GetLocalPeer();
  if (!peer)
    return 1;
  const bool started = VELP2PPeer::IsConnected();
  std::printf("started: %d, failure reads \"%s\"\n", started, VELResultMessage(VEL_E_FAIL));
  peer->Release();
  return started ? 1 : 0;
}
