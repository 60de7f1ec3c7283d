// The one local peer of the process: its name, groups, endpoints, services, directories and status.
//
// Its concerns live in separate source files: lifecycle (VELP2PPeer.cpp), directory and status
// (VELP2PPeerDirectory.cpp), notifications (VELP2PPeerNotify.cpp), groups (VELP2PPeerGroups.cpp), messaging
// and dispatch (VELP2PPeerMessaging.cpp), sessions (VELP2PPeerSessions.cpp), status changes and search
// (VELP2PPeerStatus.cpp, VELP2PPeerSearch.cpp).
#ifndef VELP2P_VELP2PPEER_H
#define VELP2P_VELP2PPEER_H

#include <memory>

#include "velp2p/VELBaseUnknown.h"
#include "velp2p/VELHashDico.h"
#include "velp2p/VELIP2PPeer.h"
#include "velp2p/VELP2PTypes.h"

class VELP2PHeader;
class VELP2PService;
class VELIP2PMessage;
class VELHashDicVELP2PPeerInfo;
class VELP2PStatusStore;
class VELP2POptions;

class VELP2P_API VELP2PPeer : public VELBaseUnknown, public VELIP2PPeer {
  VEL_DECLARE_CLASS(VELP2PPeer)
 public:
  unsigned long AddRef() override { return VELBaseUnknown::AddRef(); }
  unsigned long Release() override { return VELBaseUnknown::Release(); }
  // Answers IID_VELIP2PPeer besides IID_VELIUnknown.
  VELResult QueryInterface(const VELIID& iid, void** object) override;

  // The peer, created on the first call; it is not started until InitP2P or InitP2PForRTC.
  static VELP2PPeer* GetLocalPeer();
  // Process-exit clean-up, registered with VELCallOnExit by the first start-up.
  static int CleanPeer(int);

  // Lifecycle.
  VELResult InitP2P() override;
  VELResult InitP2PForRTC() override;
  // The start-up with the options the environment gives (VELP2POptions::FromEnvironment).
  VELResult Initialize();
  // Inside the library: the start-up with options set in code, in the mode they name. Refused, with nothing
  // changed, when the peer is started, when the options cannot be used, and for the standard mode once the
  // process chose the collaboration mode.
  VELResult Start(const VELP2POptions& options);
  VELResult Disconnect() override;
  VELResult ClosePeer();
  VELResult Refresh() override;
  const VELUnicodeString* GetPeerName() override;
  const VELUnicodeString* GetCurrentGroup() override;
  const VELListValVELUnicodeString* GetSubGroups() override;
  VELListPtrVELP2PEndPoint* GetUnicastEndPoints();
  VELListPtrVELP2PEndPoint* GetMulticastEndPoints();
  VELP2PUserStatus GetStatus() override;
  VELUnicodeString GetDesc() override;
  VELBaseUnknown* GetP2PPublisher() override;
  VELResult RegisterService(const char* className) override;
  // The first registered service of that wire name, or null; the peer keeps its reference.
  VELP2PService* GetService(const char* wireName);
  VELResult RemoveEndPoint(VELP2PEndPoint* endpoint);
  VELResult SetHTTPConnexion(const char* text1, const char* text2, int port, void* data) override;
  VELResult GetHTTPConnexion(char*& text1, char*& text2, int& port) override;
  VELResult GetHTTPConnexionData(void*& data) override;
  // Whether the peer is started.
  static int IsConnected();

  // Directory and status store.
  VELResult NewPeerBirth(VELP2PPeerInfo* info);
  VELResult NewPeerDeath(VELUnicodeString& name);
  VELResult NewPeerDiscovered(VELP2PPeerInfo* info);
  VELResult NewPeerDestroyed(VELUnicodeString& name);
  VELResult NewPeerCrossGroupDiscovered(VELP2PPeerInfo* info, VELUnicodeString& group);
  VELResult NewPeerStatus(VELUnicodeString& name, VELP2PUserStatus status, const VELUnicodeString& desc);
  VELResult AddStatusAndDesc(const VELUnicodeString& name, VELP2PUserStatus status,
                             const VELUnicodeString& desc);
  VELResult GetStatusAndDesc(const VELUnicodeString& name, VELP2PUserStatus& status,
                             VELUnicodeString& desc) override;
  VELResult GetConnectedPeers(VELListValVELUnicodeString& names) override;
  int IsPeerConnected(const VELUnicodeString& name) override;
  // The directories themselves (null before the first start-up and after a tear-down).
  VELHashDicVELP2PPeerInfo* GetGroupPeers() { return _groupPeers.get(); }
  VELHashDicVELP2PPeerInfo* GetCrossGroupPeers() { return _crossGroupPeers.get(); }
  VELHashDicVELP2PPeerInfo* GetConnectedPeersDirectory() { return _connectedPeers.get(); }
  // The status store (null until a first status is stored, and after a tear-down).
  VELP2PStatusStore* GetStatusStore() { return _statusAndDesc.get(); }

  // Groups.
  VELResult CreateAndOrJoinSubGroup(const VELUnicodeString* name) override;
  VELResult LeaveCurrentGroup() override;
  void NewGroupFound(VELUnicodeString& name);

  // Messaging and dispatch.
  VELResult Dispatch(VELP2PHeader& header);
  VELResult SendToGroup(VELUnicodeString& group, const char* service, char* data, int length) override;
  VELResult SendToPeer(VELUnicodeString& group, const char* service, char* data, int length,
                       VELP2PPeerInfo* peer);
  VELResult SendToPeer(VELUnicodeString& group, const char* service, char* data, int length,
                       VELUnicodeString& peerName) override;
  VELResult SendToPeerCrossGroup(VELUnicodeString& group, const char* service, char* data, int length,
                                 VELUnicodeString& peerName) override;
  VELResult ReplyToPeer(VELUnicodeString& group, const char* service, char* data, int length,
                        VELIP2PMessage* message) override;
  VELResult SendP2PMessage(const VELUnicodeString& peerName, unsigned char type,
                           const VELUnicodeString& header, char* data, int length) override;
  VELResult NewPeerMessageReceivedNotif(VELUnicodeString& sender, VELUnicodeString& header,
                                        unsigned char type, char* data, int length);

  // Sessions.
  VELResult OpenP2PSession(const VELUnicodeString& peerName, int sessionType) override;
  VELResult CloseP2PSession(const VELUnicodeString& peerName, int sessionType) override;
  VELResult NewPeerSessionEvent(VELUnicodeString& peerName, int sessionType, unsigned char eventType);

  // Status and search.
  VELResult ChangeP2PStatus(VELP2PUserStatus status, const VELUnicodeString& desc) override;
  VELResult CrossGroupPeerSearch() override;
  void FireSearchResult(VELUnicodeString& peerName, VELUnicodeString& group);

  static int _rtc;                // collaboration mode; set by InitP2PForRTC, never reset
  static int _login_in_progress;  // set by InitP2PForRTC, for applications

 protected:
  ~VELP2PPeer() override;

 private:
  friend class VELP2PPeerTestAccess;

  VELP2PPeer();
  VELP2PPeer(const VELP2PPeer&) = delete;
  VELP2PPeer& operator=(const VELP2PPeer&) = delete;

  VELResult Initialize(const VELP2POptions& options);
  VELResult InitEndPoints();
  VELResult InitServices();
  VELP2PEndPoint* RegisterEndPoint(const char* className);
  VELResult internal_destructor();
  VELResult SendToPeer(VELUnicodeString& group, const char* service, char* data, int length,
                       VELP2PEndPointInfo* remote, VELP2PPeerInfo* peer);
  VELResult SendSessionMessage(const VELUnicodeString& peerName, int sessionType, unsigned char eventType);
  void EmptyGroupState();
  void ClearPeerList();
  void ClearGroupList();

  void FirePeerInitNotif();
  void FirePeerBirthNotif(VELUnicodeString& name);
  void FirePeerDeathNotif(VELUnicodeString& name);
  void FirePeerCreateNotif(VELUnicodeString& name);
  void FirePeerDestructNotif(VELUnicodeString& name);
  void FireCrossGroupPeerCreateNotif(VELUnicodeString& name, VELUnicodeString& group);
  void FirePeerStatusNotif(VELUnicodeString& name, VELP2PUserStatus status, const VELUnicodeString& desc);
  void FireCurrentGroupNotif();
  void FireSubGroupNotif();
  void FireGroupNotif();

  std::unique_ptr<VELListValVELUnicodeString> _subGroups;  // known sub-groups of the current group
  VELUnicodeString _currentGroup;
  VELUnicodeString _peerName;
  std::unique_ptr<VELListPtrVELP2PEndPoint> _unicastEndPoints;    // one reference per endpoint
  std::unique_ptr<VELListPtrVELP2PEndPoint> _multicastEndPoints;  // one reference per endpoint
  std::unique_ptr<VELListPtrVELP2PService> _services;             // registration order, one reference each
  std::unique_ptr<VELHashDicVELP2PPeerInfo> _groupPeers;          // peers of the current group
  std::unique_ptr<VELHashDicVELP2PPeerInfo> _crossGroupPeers;     // peers found by the last search
  std::unique_ptr<VELHashDicVELP2PPeerInfo> _connectedPeers;      // peers announced alive
  std::unique_ptr<VELP2PStatusStore> _statusAndDesc;
  VELP2PUserStatus _status;
  VELUnicodeString _desc;
  char _httpConnexionText1[256];
  int _httpPort;
  char _httpConnexionText2[256];
  void* _httpConnexionData;                 // only stored
  std::unique_ptr<VELP2POptions> _options;  // those of the last start-up

  static VELP2PPeer* _singlePeer;
  static int _connected;
  static int _registerExitHook;  // CleanPeer is registered for process exit once
};

#endif
