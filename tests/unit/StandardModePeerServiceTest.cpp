// The peer service: its peer message, presence and leave handling, answers, and group changes.
#include <cstring>

#include "support/TraceCapture.h"
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

TEST_F(PeerService, BuildsSevenBytesWithoutEndPoints) {
  Start("FakeRecordlessEndPoint|10.0.0.5|0\n");
  VELP2PPeerService* service = Service(_peer);
  ASSERT_NE(service, nullptr);
  const char* message = service->GetPeerMessage();
  EXPECT_EQ(Hex(std::vector<char>(message, message + service->GetPeerMessageLength())), "30000000000000");
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

TEST_F(PeerService, MessagesOfAnotherGroupAreRefused) {
  Start();
  Join("Design");
  // The group rule lets the root's traffic through; the service itself wants its own group only.
  EXPECT_EQ(FromBob('0', true), VEL_E_FAIL);
  EXPECT_EQ(_peer->GetGroupPeers()->Size(), 0);
  EXPECT_TRUE(FakeSent().empty());
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

TEST_F(PeerService, BodiesWhoseRecordsDoNotFitAreRefusedAndStoreNothing) {
  Start();
  std::vector<char> twoAnnounced = PeerMessage('0', {kBob});
  twoAnnounced[2] = 2;  // N = 2 with one record and the 4 trailing bytes after it
  std::vector<char> overrun = PeerMessage('0', {kBob});
  overrun[3] = static_cast<char>(200);  // the record claims 200 bytes
  std::vector<char> tooShort = PeerMessage('0', {kBob});
  tooShort[3] = 4;  // a record too short for its own fields
  for (const std::vector<char>& body : {twoAnnounced, overrun, tooShort, Bytes({'0', 0x00})})
    EXPECT_EQ(Deliver("/P2PRoot", "PeerService", "bob", body, true, kBob), VEL_E_FAIL) << Hex(body);
  EXPECT_EQ(_peer->GetGroupPeers()->Size(), 0);
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
  TraceCapture trace;
  Join("Design");
  EXPECT_EQ(Service(_peer)->GetAnnouncedGroup().Str(), "/P2PRoot");
  EXPECT_EQ(trace.Count("VELP2PPeerService - GroupModificationCB"), 1);
  EXPECT_EQ(trace.Count("VELP2PPeerService - GroupModificationCB OK "), 0);
}

}  // namespace
