// A local peer: its name, groups, endpoints, services, directories and status. Each belongs to a node, which
// also holds what the peer runs with (its loop, the seam of its endpoints, its sends and its subscriptions);
// GetLocalPeer gives the peer of the process's default node.
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
class VELP2PNode;

class VELP2P_API VELP2PPeer : public VELBaseUnknown, public VELIP2PPeer {
  VEL_DECLARE_CLASS(VELP2PPeer)
 public:
  unsigned long AddRef() override { return VELBaseUnknown::AddRef(); }
  unsigned long Release() override { return VELBaseUnknown::Release(); }
  // Answers IID_VELIP2PPeer besides IID_VELIUnknown.
  VELResult QueryInterface(const VELIID& iid, void** object) override;

  // The peer of the default node, created on the first call; it is not started until InitP2P or
  // InitP2PForRTC.
  static VELP2PPeer* GetLocalPeer();
  // Process-exit clean-up, registered with VELCallOnExit by the default peer's first start-up: the default
  // node leaves the network and goes.
  static int CleanPeer(int);

  // Lifecycle. A start is refused when the peer is started already (ALREADY_STARTED), when there is no loop
  // to run on (NO_LOOP: the default peer runs on the main application, which must exist by then) and when
  // the options cannot be used; the mode is that of the last InitP2P or InitP2PForRTC.
  VELResult InitP2P() override;
  VELResult InitP2PForRTC() override;
  // The start-up in the mode of the last start, with the options the environment gives.
  VELResult Initialize();
  // Inside the library: the start-up with options set in code, in the mode they name.
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
  // Whether the default peer is started.
  static int IsConnected();
  // Whether this peer is started, and in which mode it last started.
  bool Connected() const { return _connected != 0; }
  bool Collaboration() const { return _collaboration; }
  // Inside the library: the node this peer belongs to; null once the node is gone.
  VELP2PNode* Node() const { return _node; }

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

  // The default peer's mode, mirrored: 1 from its InitP2PForRTC, 0 from its InitP2P. The library reads
  // neither; they are there for applications.
  static int _rtc;
  static int _login_in_progress;  // set by the default peer's InitP2PForRTC, never reset

 protected:
  ~VELP2PPeer() override;

 private:
  friend class VELP2PNode;

  explicit VELP2PPeer(VELP2PNode* node);
  VELP2PPeer(const VELP2PPeer&) = delete;
  VELP2PPeer& operator=(const VELP2PPeer&) = delete;

  // Chooses the mode, mirrored for the default peer.
  void ChooseMode(bool collaboration);
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
  VELP2PNode* _node;                        // the owner; null once it is gone
  int _connected;                           // started, until Disconnect
  bool _collaboration;                      // the mode of the last start

  static int _registerExitHook;  // CleanPeer is registered for process exit once
};

#endif
