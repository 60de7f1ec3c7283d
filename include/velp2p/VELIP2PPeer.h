// The interface through which applications use the local peer (obtained from VELIP2PPeerFactory).
#ifndef VELP2P_VELIP2PPEER_H
#define VELP2P_VELIP2PPEER_H

#include "velp2p/VELIUnknown.h"
#include "velp2p/VELListValVELUnicodeString.h"
#include "velp2p/VELP2PTypes.h"
#include "velp2p/VELUnicodeString.h"

class VELBaseUnknown;
class VELIP2PMessage;

VELP2P_API extern const VELIID IID_VELIP2PPeer;

class VELP2P_API VELIP2PPeer : public VELIUnknown {
 public:
  virtual VELResult CreateAndOrJoinSubGroup(const VELUnicodeString* name) = 0;
  virtual VELResult LeaveCurrentGroup() = 0;
  virtual VELResult Refresh() = 0;
  virtual const VELUnicodeString* GetPeerName() = 0;
  virtual const VELUnicodeString* GetCurrentGroup() = 0;
  virtual const VELListValVELUnicodeString* GetSubGroups() = 0;
  virtual VELResult InitP2P() = 0;
  virtual VELResult InitP2PForRTC() = 0;
  virtual VELResult ChangeP2PStatus(VELP2PUserStatus status, const VELUnicodeString& description) = 0;
  virtual VELResult SendP2PMessage(const VELUnicodeString& peer, unsigned char type,
                                   const VELUnicodeString& header, char* data, int length) = 0;
  virtual VELResult OpenP2PSession(const VELUnicodeString& peer, int sessionType) = 0;
  virtual VELResult CloseP2PSession(const VELUnicodeString& peer, int sessionType) = 0;
  virtual int IsPeerConnected(const VELUnicodeString& peer) = 0;
  virtual VELResult GetConnectedPeers(VELListValVELUnicodeString& names) = 0;
  virtual VELResult GetStatusAndDesc(const VELUnicodeString& peer, VELP2PUserStatus& status,
                                     VELUnicodeString& description) = 0;
  virtual VELP2PUserStatus GetStatus() = 0;
  virtual VELUnicodeString GetDesc() = 0;
  virtual VELResult SetHTTPConnexion(const char* text1, const char* text2, int port, void* data) = 0;
  virtual VELResult GetHTTPConnexion(char*& text1, char*& text2, int& port) = 0;
  virtual VELResult GetHTTPConnexionData(void*& data) = 0;
  virtual VELResult RegisterService(const char* className) = 0;
  virtual VELBaseUnknown* GetP2PPublisher() = 0;
  virtual VELResult SendToGroup(VELUnicodeString& group, const char* service, char* buffer, int length) = 0;
  virtual VELResult SendToPeer(VELUnicodeString& group, const char* service, char* buffer, int length,
                               VELUnicodeString& peer) = 0;
  virtual VELResult ReplyToPeer(VELUnicodeString& group, const char* service, char* buffer, int length,
                                VELIP2PMessage* message) = 0;
  virtual VELResult SendToPeerCrossGroup(VELUnicodeString& group, const char* service, char* buffer,
                                         int length, VELUnicodeString& peer) = 0;
  virtual VELResult CrossGroupPeerSearch() = 0;
  virtual VELResult Disconnect() = 0;
};

// The entry point of applications: the local peer's interface, with one reference the caller releases,
// or null when the peer cannot be had.
class VELP2P_API VELIP2PPeerFactory {
 public:
  static const char* ClassName() { return "VELIP2PPeerFactory"; }
  static VELIP2PPeer* GetLocalPeer();
};

#endif
