// Test access to the local peer's private state: reset between tests, set what a test needs.
#ifndef VELP2P_TESTS_PEERTESTACCESS_H
#define VELP2P_TESTS_PEERTESTACCESS_H

#include "core/VELP2PStatusStore.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PPeer.h"

class VELP2PPeerTestAccess {
 public:
  // Destroys the local peer (tearing it down first when connected) and clears the process-wide flags, so
  // that the next GetLocalPeer starts from nothing.
  static void Reset() {
    if (VELP2PPeer::_singlePeer) {
      VELP2PPeer* peer = VELP2PPeer::_singlePeer;
      if (VELP2PPeer::_connected)
        peer->Disconnect();
      peer->Release();
    }
    VELP2PPeer::_singlePeer = nullptr;
    VELP2PPeer::_connected = 0;
    VELP2PPeer::_rtc = 0;
    VELP2PPeer::_login_in_progress = 0;
  }
  static void SetConnected(int connected) { VELP2PPeer::_connected = connected; }
  static void SetRtc(int rtc) { VELP2PPeer::_rtc = rtc; }
  static void SetPeerName(VELP2PPeer* peer, const char* name) { peer->_peerName = name; }
  static void SetCurrentGroup(VELP2PPeer* peer, const char* group) { peer->_currentGroup = group; }
  static VELListPtrVELP2PService* Services(VELP2PPeer* peer) { return peer->_services.get(); }
  static int StatusStoreSize(VELP2PPeer* peer) {
    return peer->_statusAndDesc ? peer->_statusAndDesc->Size() : -1;
  }
  static VELP2PEndPoint* RegisterEndPoint(VELP2PPeer* peer, const char* className) {
    return peer->RegisterEndPoint(className);
  }
};

#endif
