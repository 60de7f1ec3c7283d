// The peer service: its peer message, presence and leave handling, answers, and group changes.
#include <cstring>

#include "unit/ServiceTestSupport.h"
#include "velp2p/VELP2PPeerService.h"

using namespace svctest;

namespace {

const VELP2PEndPointInfo kBob = UnicastRecord("10.0.0.9", 4000);

using PeerService = StandardModeTest;

VELP2PPeerService* Service(VELP2PPeer* peer) {
  VELListPtrVELP2PService* services = VELP2PPeerTestAccess::Services(peer);
  for (int i = 1; services && i <= services->Size(); ++i) {
    if (std::strcmp((*services)[i]->GetServiceName(), "PeerService") == 0)
      return dynamic_cast<VELP2PPeerService*>((*services)[i]);
  }
  return nullptr;
}

VELResult FromBob(char command, bool multicast, const char* sender = "bob") {
  return Deliver("/P2PRoot", "PeerService", sender, PeerMessage(command, {kBob}), multicast, kBob);
}

TEST_F(PeerService, StartUpPublishesTheRootThenAnnouncesTwentyThreeBytes) {
  ASSERT_EQ(_peer->InitP2P(), VEL_S_OK);
  // The group service publishes "P2PRoot" and its zero byte under the empty group; then the peer service
  // announces itself in the root.
  EXPECT_EQ(SentLines(), (std::vector<std::string>{" GroupService 503250526f6f7400",
                                                   "/P2PRoot PeerService " + LocalMessageHex('0')}));
}

TEST_F(PeerService, PresenceIsStoredButAnsweredOnlyWhenMulticastByAnother) {
  Start();
  EXPECT_EQ(FromBob('0', false, "carol"), VEL_S_OK);
  EXPECT_EQ(FromBob('0', true, "me"), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  _log->Clear();
  EXPECT_EQ(FromBob('0', true), VEL_S_OK);
  EXPECT_EQ(Names(_peer->GetGroupPeers()), (std::vector<std::string>{"bob", "carol", "me"}));
  VELP2PPeerInfo* bob = _peer->GetGroupPeers()->Locate("bob");
  EXPECT_EQ(bob->group.Str(), "/P2PRoot");
  ASSERT_EQ(bob->GetEndPointsInfoList()->Size(), 1);
  EXPECT_EQ(RecordHex(*(*bob->GetEndPointsInfoList())[1]), RecordHex(kBob));
  EXPECT_EQ(_log->Lines(), std::vector<std::string>{"VELP2PPeerCreatNotif bob"});
  // The answer goes point to point, to the unicast endpoint of the header, with the local message.
  EXPECT_EQ(SentLines(), std::vector<std::string>{"/P2PRoot PeerService " + LocalMessageHex('0') + " to " +
                                                  RecordHex(kBob)});
}

TEST_F(PeerService, LeaveRemovesTheSenderAndUnknownOrOtherCommandsChangeNothing) {
  Start();
  ASSERT_EQ(FromBob('0', false), VEL_S_OK);
  _log->Clear();
  EXPECT_EQ(FromBob('1', true, "carol"), VEL_S_OK);
  EXPECT_EQ(FromBob('7', true), VEL_S_OK);
  EXPECT_EQ(_peer->GetGroupPeers()->Size(), 1);
  EXPECT_TRUE(_log->Lines().empty());
  EXPECT_EQ(Deliver("/P2PRoot", "PeerService", "bob", PeerMessage('1', {}), true, kBob), VEL_S_OK);
  EXPECT_EQ(_peer->GetGroupPeers()->Size(), 0);
  EXPECT_EQ(_log->Lines(), std::vector<std::string>{"VELP2PPeerDestructNotif bob"});
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(PeerService, MovingLeavesTheOldGroupFirstAndClosingLeavesTheCurrentOne) {
  Start();
  ASSERT_EQ(FromBob('0', false), VEL_S_OK);
  VELUnicodeString design("Design");
  ASSERT_EQ(_peer->CreateAndOrJoinSubGroup(&design), VEL_S_OK);
  EXPECT_EQ(_peer->GetGroupPeers()->Size(), 0);
  EXPECT_EQ(Service(_peer)->GetAnnouncedGroup().Str(), "/P2PRoot/Design");
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
  EXPECT_EQ(Service(_peer)->GetAnnouncedGroup().Str(), "/P2PRoot");
}

}  // namespace
