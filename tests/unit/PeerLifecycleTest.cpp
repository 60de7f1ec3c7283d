// Start-up, tear-down, notifications, directories and groups of a node's peer, with socket-free endpoints
// and recording services registered under the library's class names; the default peer's face.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "core/VELP2PConfig.h"
#include "core/VELP2PNode.h"
#include "core/VELP2PStatusStore.h"
#include "host/VELNetResolve.h"
#include "support/FakeEndPoints.h"
#include "support/TempFile.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELLastError.h"
#include "velp2p/VELP2PCoreService.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"

namespace {

// What every recording service saw, as "<service>:<notification class>".
std::vector<std::string>& Seen() {
  static std::vector<std::string> seen;
  return seen;
}
int& LiveServices() {
  static int live = 0;
  return live;
}

// A service that subscribes to every notification and never unsubscribes, like the library's services.
template <int kTag>
class RecordingService : public VELP2PCoreService {
 public:
  RecordingService() { ++LiveServices(); }
  ~RecordingService() override { --LiveServices(); }
  static bool& FailInitialize() {
    static bool fail = false;
    return fail;
  }
  VELResult Initialize() override {
    if (FailInitialize())
      return VEL_E_FAIL;
    AddCallback(this, Publisher(), "VELP2PNotif", &RecordingService::Seen, nullptr);
    return VEL_S_OK;
  }
  const char* GetServiceName() override { return "Recording"; }
  VELResult HandleMessage(VELIP2PMessage*) override { return VEL_S_OK; }
  void Seen(const char* event, VELBaseUnknown*, VELNotification*, void*, VELCallback*) {
    ::Seen().push_back(std::to_string(kTag) + ":" + event);
  }
  static VELBaseUnknown* Create() { return new RecordingService<kTag>(); }
};

class PeerLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    _node = std::make_unique<VELP2PNode>(&_loop);
    Seen().clear();
    FakeInitialized().clear();
    FakeSent().clear();
    RecordingService<1>::FailInitialize() = false;
    RecordingService<2>::FailInitialize() = false;
    UseInterfaces({});
  }
  void TearDown() override {
    _node.reset();
    VELSetResolverOverride(nullptr);
    VELSetRoutableOverride(nullptr);
    unsetenv("VELP2PConfig");
    unsetenv("VELP2PLogin");
    EXPECT_EQ(LiveServices(), 0);
  }
  // The host name resolves to addresses; routable is the machine's routable address ({} for none).
  void UseInterfaces(std::vector<VELIPv4> addresses, VELIPv4 routable = {}) {
    _lookups = 0;
    VELSetResolverOverride([this, addresses](const std::string&, std::vector<VELIPv4>& out) {
      ++_lookups;
      out.insert(out.end(), addresses.begin(), addresses.end());
      return addresses.empty() ? VEL_E_FAIL : VEL_S_OK;
    });
    VELSetRoutableOverride([routable](VELIPv4& out) {
      out = routable;
      return routable[0] != 0 ? VEL_S_OK : VEL_E_FAIL;
    });
  }
  // The peer of a fresh node.
  VELP2PPeer* Fresh() {
    _node = std::make_unique<VELP2PNode>(&_loop);
    return &_node->Peer();
  }
  VELP2PPeer* StartCollaboration() {
    VELP2PPeer* peer = &_node->Peer();
    EXPECT_EQ(peer->InitP2PForRTC(), VEL_S_OK);
    return peer;
  }

  int _lookups = 0;  // host-name resolutions since UseInterfaces
  VELApplication _loop;
  std::unique_ptr<VELP2PNode> _node;
  ScopedFakeEndPoints _endpoints;
  ScopedClass _awareness{"VELP2PAwarenessService", &RecordingService<1>::Create};
  ScopedClass _status{"VELP2PStatusService", &RecordingService<2>::Create};
  ScopedClass _chat{"VELP2PChatService", &RecordingService<3>::Create};
  ScopedClass _session{"VELP2PSessionService", &RecordingService<4>::Create};
  ScopedClass _group{"VELP2PGroupService", &RecordingService<5>::Create};
  ScopedClass _peerService{"VELP2PPeerService", &RecordingService<6>::Create};
  ScopedClass _discovery{"VELP2PDiscoveryService", &RecordingService<7>::Create};
};

VELP2PPeerInfo* Record(const char* name, const char* group = "/") {
  return new VELP2PPeerInfo(VELUnicodeString(name), 0, VELUnicodeString(group));
}

}  // namespace

TEST_F(PeerLifecycle, APeerIsNotStartedUntilAskedAndTheRegistryMakesNone) {
  VELP2PPeer* peer = &_node->Peer();
  EXPECT_EQ(VELP2PPeer::GetLocalPeer(), VELP2PPeer::GetLocalPeer());
  EXPECT_NE(VELP2PPeer::GetLocalPeer(), peer);
  EXPECT_EQ(peer->ClosePeer(), VEL_E_FAIL);
  // Records refused before the start-up stay the caller's.
  VELP2PPeerInfo* info = Record("bob");
  VELUnicodeString group("/x");
  EXPECT_EQ(peer->NewPeerDiscovered(info), VEL_E_FAIL);
  EXPECT_EQ(peer->NewPeerBirth(info), VEL_E_FAIL);
  EXPECT_EQ(peer->NewPeerCrossGroupDiscovered(info, group), VEL_E_FAIL);
  delete info;
  // The registry never makes a second peer.
  void* object = nullptr;
  EXPECT_LT(VELCreateClassInstance("VELP2PPeer", nullptr, 0, IID_VELIUnknown, &object), 0);
  EXPECT_EQ(object, nullptr);
}

TEST_F(PeerLifecycle, EndPointsFollowTheInterfacesOrTheConfiguration) {
  // No configuration: one pair per address of the host name, the routable address when those are loopback
  // only, or one on the wildcard; "*" after an explicit address uses that address only, and a file that
  // names the addresses never asks the resolver.
  TempFile file("VELP2PTCPEndPoint|10.9.9.9|0\nVELP2PMultiCastEndPoint|*|4000\n");
  const char* path = file.Path().c_str();
  const VELIPv4 routable{10, 0, 0, 7};
  const std::tuple<std::vector<VELIPv4>, VELIPv4, const char*, std::vector<std::string>> cases[] = {
      {{{10, 0, 0, 5}, {10, 0, 0, 6}},
       routable,
       nullptr,
       {"multicast 224.0.1.85 0", "unicast 10.0.0.5 0", "multicast 224.0.1.85 0", "unicast 10.0.0.6 0"}},
      {{{127, 0, 1, 1}, {127, 0, 0, 1}}, routable, nullptr, {"multicast 224.0.1.85 0", "unicast 10.0.0.7 0"}},
      {{}, {}, nullptr, {"multicast 224.0.1.85 0", "unicast  0"}},
      {{{10, 0, 0, 5}, {10, 0, 0, 6}}, routable, path, {"unicast 10.9.9.9 0", "multicast 10.9.9.9 4000"}},
  };
  for (const auto& [interfaces, routableAddress, config, initialized] : cases) {
    Fresh();
    FakeInitialized().clear();
    UseInterfaces(interfaces, routableAddress);
    if (config)
      setenv("VELP2PConfig", config, 1);
    StartCollaboration();
    EXPECT_EQ(FakeInitialized(), initialized);
    EXPECT_EQ(_lookups, config ? 0 : 1);
  }
  EXPECT_EQ(_node->Peer().GetMulticastEndPoints()->Size(), 1);
}

TEST_F(PeerLifecycle, StartUpStopsAtTheFirstServiceOrEndPointThatFails) {
  RecordingService<2>::FailInitialize() = true;
  VELP2PPeer* peer = &_node->Peer();
  EXPECT_EQ(peer->InitP2PForRTC(), VEL_E_FAIL);
  EXPECT_FALSE(peer->Connected());
  EXPECT_TRUE(Seen().empty());
  EXPECT_NE(peer->GetService("Recording"), nullptr);  // the awareness service before it stays
  EXPECT_EQ(LiveServices(), 1);
  peer = Fresh();
  EXPECT_EQ(LiveServices(), 0);
  VELCreateFunction saved = VELUnregisterCreateExtension("VELP2PTCPEndPoint");
  EXPECT_EQ(peer->InitP2P(), VEL_E_FAIL);
  VELRegisterCreateExtension("VELP2PTCPEndPoint", saved);
  EXPECT_FALSE(peer->Connected());
  EXPECT_TRUE(Seen().empty());
}

TEST_F(PeerLifecycle, RestartAfterDisconnectNeverReachesReleasedServices) {
  VELP2PPeer* peer = &_node->Peer();
  ASSERT_EQ(peer->InitP2P(), VEL_S_OK);
  const std::string firstName = peer->GetPeerName()->Str();
  ASSERT_EQ(peer->Disconnect(), VEL_S_OK);
  EXPECT_EQ(peer->GetPeerName()->Str(), firstName);
  Seen().clear();
  ASSERT_EQ(peer->InitP2P(), VEL_S_OK);
  // Only the three new services hear the new start-up; the released ones are never called.
  EXPECT_EQ(Seen().size(), 6u);
  Seen().clear();
  VELUnicodeString team("Team1");
  peer->NewGroupFound(team);
  EXPECT_EQ(Seen(), (std::vector<std::string>{"5:VELP2PSubGroupModifNotif", "6:VELP2PSubGroupModifNotif",
                                              "7:VELP2PSubGroupModifNotif"}));
}

TEST_F(PeerLifecycle, DirectoriesKeepTheFirstRecordAndTrackStatus) {
  VELP2PPeer* peer = StartCollaboration();
  Seen().clear();
  VELP2PPeerInfo* first = Record("bob", "/first");
  ASSERT_EQ(peer->NewPeerBirth(first), VEL_S_OK);
  peer->AddStatusAndDesc(VELUnicodeString("bob"), 3, VELUnicodeString("busy"));
  ASSERT_EQ(peer->NewPeerBirth(Record("bob", "/second")), VEL_S_OK);
  EXPECT_EQ(Seen().size(), 4u);  // one birth, four services
  EXPECT_EQ(peer->GetConnectedPeersDirectory()->Locate(VELUnicodeString("bob")), first);
  VELP2PUserStatus status = -1;
  VELUnicodeString desc;
  ASSERT_EQ(peer->GetStatusAndDesc(VELUnicodeString("bob"), status, desc), VEL_S_OK);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(desc.Str(), "busy");
  EXPECT_EQ(peer->IsPeerConnected(VELUnicodeString("bob")), 1);

  // A death of a peer never born drops its status only.
  peer->AddStatusAndDesc(VELUnicodeString("ghost"), 2, VELUnicodeString("x"));
  Seen().clear();
  VELUnicodeString ghost("ghost");
  EXPECT_EQ(peer->NewPeerDeath(ghost), VEL_S_OK);
  EXPECT_TRUE(Seen().empty());
  EXPECT_EQ(peer->GetStatusAndDesc(ghost, status, desc), VEL_E_FAIL);
}

TEST_F(PeerLifecycle, GroupsRefuseBadNamesAndLearnSubGroupsOnce) {
  VELP2PPeer* peer = &_node->Peer();
  ASSERT_EQ(peer->InitP2P(), VEL_S_OK);
  VELUnicodeString design("Design"), team("Team1"), empty("");
  EXPECT_EQ(peer->CreateAndOrJoinSubGroup(&design), VEL_S_OK);
  Seen().clear();
  peer->NewGroupFound(team);
  peer->NewGroupFound(team);
  EXPECT_EQ(Seen().size(), 3u);  // once, to three services
  EXPECT_EQ(peer->GetSubGroups()->Size(), 1);
  EXPECT_EQ(peer->LeaveCurrentGroup(), VEL_S_OK);
  EXPECT_EQ(peer->GetSubGroups()->Size(), 0);
  for (VELUnicodeString* name : {&empty, static_cast<VELUnicodeString*>(nullptr)})
    EXPECT_EQ(peer->CreateAndOrJoinSubGroup(name), VEL_E_FAIL);
  EXPECT_EQ(peer->GetCurrentGroup()->Str(), "/P2PRoot");
}

TEST_F(PeerLifecycle, HttpSettingsAreBoundedCopies) {
  VELP2PPeer* peer = &_node->Peer();
  char a[256], b[256];
  char *pa = a, *pb = b;
  int port = 0;
  ASSERT_EQ(peer->SetHTTPConnexion("proxy", "path", 8080, nullptr), VEL_S_OK);
  EXPECT_EQ(peer->SetHTTPConnexion(std::string(256, 'z').c_str(), "x", 1, nullptr), VEL_E_FAIL);
  ASSERT_EQ(peer->GetHTTPConnexion(pa, pb, port), VEL_S_OK);
  EXPECT_EQ(std::string(a) + " " + b + " " + std::to_string(port), "proxy path 8080");
}

TEST_F(PeerLifecycle, ForgedAnnouncementsFillTheDirectoriesAndNoFurther) {
  VELP2PPeer* peer = StartCollaboration();
  for (int i = 0; i < kVELP2PMaxKnownPeers + 10; ++i) {
    VELP2PPeerInfo* info = Record(("p" + std::to_string(i)).c_str());
    if (VEL_FAILED(peer->NewPeerBirth(info)))
      delete info;  // refused records stay the caller's
    peer->AddStatusAndDesc(VELUnicodeString("s" + std::to_string(i)), 1, VELUnicodeString());
  }
  EXPECT_EQ(peer->GetConnectedPeersDirectory()->Size(), kVELP2PMaxKnownPeers);
  EXPECT_EQ(peer->GetStatusStore()->Size(), kVELP2PMaxKnownPeers);
  // A peer already known is still updated when the directory is full.
  EXPECT_EQ(peer->NewPeerBirth(Record("p0")), VEL_S_OK);
  for (int i = 0; i < kVELP2PMaxSubGroups + 10; ++i) {
    VELUnicodeString name("g" + std::to_string(i));
    peer->NewGroupFound(name);
  }
  EXPECT_EQ(peer->GetSubGroups()->Size(), kVELP2PMaxSubGroups);
}
