// The standard-mode services. Discovery: search requests, answers, the cross-group directory and the search
// results. Groups: which peers answer a publication from the parent group, and which components are
// ignored; Y enters /P2PRoot/Design and publishes Design under the root; X, in /P2PRoot/Design/Team1,
// answers Team1 to Y. Peers: the peer message, presence and leave handling, answers, and group changes.
#include <algorithm>

#include "services/VELP2PPeerService.h"
#include "unit/ServiceTestSupport.h"

using namespace svctest;

namespace {

// T announces 10.0.0.9:4000 in its payload; its headers name another endpoint, 10.0.0.99:4999, so that a
// test can tell which of the two an answer went to.
const VELP2PEndPointInfo kTRecord = UnicastRecord("10.0.0.9", 4000);
const VELP2PEndPointInfo kTHeader = UnicastRecord("10.0.0.99", 4999);

class Discovery : public StandardModeTest {
 protected:
  VELResult FromT(char command, bool multicast, const std::string& sender = "T",
                  const char* group = "/P2PRoot/B") {
    return Deliver(group, "DiscoveryService", sender.c_str(), PeerMessage(command, {kTRecord}), multicast,
                   kTHeader);
  }
};

TEST_F(Discovery, RequestIsRecordedFromAnyGroupAndAnsweredOnlyWhenMulticastByAnother) {
  Start();
  // Point to point, or from itself: recorded, not answered.
  EXPECT_EQ(FromT('1', false, "U"), VEL_S_OK);
  EXPECT_EQ(FromT('1', true, Me(), "/P2PRoot"), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  _log->Clear();
  // A group below the current one: the group rule would hide it, the discovery service accepts it.
  EXPECT_EQ(FromT('1', true), VEL_S_OK);
  EXPECT_EQ(Names(_peer->GetCrossGroupPeers()), (std::vector<std::string>{"T", "U", Me()}));
  EXPECT_EQ(_peer->GetCrossGroupPeers()->Locate("T")->group.Str(), "/P2PRoot/B");
  EXPECT_EQ(_log->Lines(), std::vector<std::string>{"VELP2PCrossGroupPeerCreatNotif T /P2PRoot/B"});
  EXPECT_EQ(_peer->GetSubGroups()->Size(), 0);
  // The answer goes to the endpoint announced in the payload, not to the one of the headers.
  EXPECT_EQ(SentLines(), std::vector<std::string>{"/P2PRoot DiscoveryService " + LocalMessageHex('0') +
                                                  " to " + RecordHex(kTRecord)});
}

TEST_F(Discovery, RepeatedAnswerIsStoredOnceUntilTheNextSearchForgetsIt) {
  Start();
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(FromT('0', false), VEL_S_OK);
  EXPECT_EQ(_peer->GetCrossGroupPeers()->Size(), 1);
  EXPECT_EQ(_log->Count("VELP2PCrossGroupPeerCreatNotif"), 1);
  EXPECT_EQ(_log->Count("VELP2PSearchResultNotif"), 2);
  ASSERT_EQ(_peer->CrossGroupPeerSearch(), VEL_S_OK);
  EXPECT_EQ(_peer->GetCrossGroupPeers()->Size(), 0);
  EXPECT_EQ(FromT('0', false), VEL_S_OK);
  EXPECT_EQ(_peer->GetCrossGroupPeers()->Size(), 1);
  EXPECT_EQ(_log->Count("VELP2PCrossGroupPeerCreatNotif"), 2);
}

const VELP2PEndPointInfo kY = UnicastRecord("10.0.0.7", 4100);
const VELP2PEndPointInfo kX = UnicastRecord("10.0.0.8", 4200);

class GroupService : public StandardModeTest {
 protected:
  VELResult FromY(const std::string& component) {
    return Deliver("/P2PRoot", "GroupService", "Y", VELP2PWriteGroupComponent(component), true, kY);
  }
};

// The answer to a publisher it knows is proven between console processes; an unknown one gets none.
TEST_F(GroupService, WorkedExamplePeerBelowAnswersNoPublisherItDoesNotKnow) {
  Start();  // as X
  Join("Design");
  Join("Team1");
  EXPECT_EQ(FromY("Design"), VEL_E_FAIL);
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(GroupService, PeersInThePublishedGroupOrElsewhereHaveNothingToTellAndMalformedComponentsAreIgnored) {
  Start();
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "X", VELP2PWriteGroupComponent(""), false, kX), VEL_S_OK);
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "X", VELP2PWriteGroupComponent("Design/Team1"), false, kX),
            VEL_S_OK);
  EXPECT_EQ(_peer->GetSubGroups()->Size(), 0);
  auto knowY = [this] {
    ASSERT_EQ(_peer->NewPeerDiscovered(new VELP2PPeerInfo(VELUnicodeString("Y"), 0, VELUnicodeString("/"))),
              VEL_S_OK);
    Forget();
  };
  Join("Design");
  knowY();
  EXPECT_EQ(FromY("Design"), VEL_S_OK);  // the group just entered
  EXPECT_EQ(FromY("Sales"), VEL_S_OK);   // an unrelated branch
  // A group that only continues the published name: /P2PRoot/DesignLab is not below /P2PRoot/Design.
  ASSERT_EQ(_peer->LeaveCurrentGroup(), VEL_S_OK);
  Join("DesignLab");
  Join("Team1");
  knowY();
  EXPECT_EQ(FromY("Design"), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  EXPECT_TRUE(_log->Lines().empty());
  EXPECT_EQ(_peer->GetSubGroups()->Size(), 0);
}

const VELP2PEndPointInfo kBob = UnicastRecord("10.0.0.9", 4000);

class PeerService : public StandardModeTest {
 protected:
  VELP2PPeerService* Service() { return dynamic_cast<VELP2PPeerService*>(_peer->GetService("PeerService")); }
  VELResult FromBob(char command, bool multicast, const std::string& sender = "bob") {
    return Deliver("/P2PRoot", "PeerService", sender.c_str(), PeerMessage(command, {kBob}), multicast, kBob);
  }
};

TEST_F(PeerService, StartUpPublishesTheRootThenAnnouncesTwentyThreeBytes) {
  ASSERT_EQ(_peer->InitP2P(), VEL_S_OK);
  // The group service publishes "P2PRoot" and its zero byte under the empty group; then the peer service
  // announces itself in the root.
  EXPECT_EQ(SentLines(), (std::vector<std::string>{" GroupService 503250526f6f7400",
                                                   "/P2PRoot PeerService " + LocalMessageHex('0')}));
}

TEST_F(PeerService, PresenceIsStoredButAnsweredOnlyWhenMulticastByAnotherAndLeaveOnlyWhenKnown) {
  Start();
  EXPECT_EQ(FromBob('0', false, "carol"), VEL_S_OK);
  EXPECT_EQ(FromBob('0', true, Me()), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  _log->Clear();
  EXPECT_EQ(FromBob('0', true), VEL_S_OK);
  std::vector<std::string> names = {"bob", "carol", Me()};
  std::sort(names.begin(), names.end());
  EXPECT_EQ(Names(_peer->GetGroupPeers()), names);
  VELP2PPeerInfo* bob = _peer->GetGroupPeers()->Locate("bob");
  EXPECT_EQ(bob->group.Str(), "/P2PRoot");
  ASSERT_EQ(bob->GetEndPointsInfoList()->Size(), 1);
  EXPECT_EQ(RecordHex(*(*bob->GetEndPointsInfoList())[1]), RecordHex(kBob));
  EXPECT_EQ(_log->Lines(), std::vector<std::string>{"VELP2PPeerCreatNotif bob"});
  // The answer goes point to point, to the unicast endpoint of the header, with the local message.
  EXPECT_EQ(SentLines(), std::vector<std::string>{"/P2PRoot PeerService " + LocalMessageHex('0') + " to " +
                                                  RecordHex(kBob)});
  // A leave removes a known sender only; the consoles show it for known ones.
  EXPECT_EQ(FromBob('1', true, "dave"), VEL_S_OK);
  EXPECT_EQ(_log->Lines().size(), 1u);
}

TEST_F(PeerService, MovingLeavesTheOldGroupFirstAndClosingLeavesTheCurrentOne) {
  Start();
  ASSERT_EQ(FromBob('0', false), VEL_S_OK);
  VELUnicodeString design("Design");
  ASSERT_EQ(_peer->CreateAndOrJoinSubGroup(&design), VEL_S_OK);
  EXPECT_EQ(_peer->GetGroupPeers()->Size(), 0);
  EXPECT_EQ(Service()->GetAnnouncedGroup().Str(), "/P2PRoot/Design");
  ASSERT_EQ(_peer->Disconnect(), VEL_S_OK);
  std::vector<std::string> peerSends;
  for (const std::string& sent : SentLines()) {
    if (sent.find(" PeerService ") != std::string::npos)
      peerSends.push_back(sent);
  }
  EXPECT_EQ(peerSends, (std::vector<std::string>{"/P2PRoot PeerService " + LocalMessageHex('1'),
                                                 "/P2PRoot/Design PeerService " + LocalMessageHex('0'),
                                                 "/P2PRoot/Design PeerService " + LocalMessageHex('1')}));
}

TEST_F(PeerService, FailedLeaveKeepsTheOldGroupAndAnnouncesNothing) {
  // Without a multicast endpoint every send to a group fails.
  Start("VELP2PTCPEndPoint|10.0.0.5|0\n");
  Join("Design");
  EXPECT_EQ(Service()->GetAnnouncedGroup().Str(), "/P2PRoot");
}

}  // namespace
