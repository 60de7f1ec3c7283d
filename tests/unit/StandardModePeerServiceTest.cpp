// The peer service: its peer message, presence and leave handling, answers, and group changes.
#include "support/TraceCapture.h"
#include "unit/StandardModeTestSupport.h"

namespace {

const VELP2PEndPointInfo kBob = UnicastRecord("10.0.0.9", 4000);

using PeerService = StandardMode;

TEST_F(PeerService, BuildsTwentyThreeBytesForOneMulticastAndOneUnicastEndPoint) {
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  ASSERT_EQ(peer->InitP2P(), VEL_S_OK);
  // Start-up: the group service publishes the root, then the peer service announces itself, "0" only.
  ASSERT_EQ(FakeSent().size(), 2u);
  const SentMessage& announce = FakeSent()[1];
  EXPECT_TRUE(announce.toGroup);
  EXPECT_EQ(announce.group, "/P2PRoot");
  EXPECT_EQ(announce.service, "PeerService");
  EXPECT_EQ(Hex(announce.payload),
            Hex(Bytes({'0', 0x00, 0x02,                                               // command, N = 2
                       MULTICAST_RECORD, UNICAST_RECORD, 0x00, 0x00, 0x00, 0x00})));  // trailing, ignored
}

TEST_F(PeerService, BuildsSevenBytesWithoutEndPoints) {
  // A configuration whose only line names no endpoint class leaves the peer without endpoints.
  VELP2PPeer* peer = Start("NoSuchEndPoint|10.0.0.5|0\n");
  VELP2PPeerService* service = Service(peer, "PeerService");
  ASSERT_NE(service, nullptr);
  std::vector<char> message(service->GetPeerMessage(),
                            service->GetPeerMessage() + service->GetPeerMessageLength());
  EXPECT_EQ(Hex(message), Hex(Bytes({'0', 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})));
}

TEST_F(PeerService, PresenceHeardByMulticastIsStoredAndAnsweredOnce) {
  VELP2PPeer* peer = Start();
  NotificationLog log(peer);
  EXPECT_EQ(Deliver("/P2PRoot", "PeerService", "bob", PeerMessage('0', {kBob}), true, kBob), VEL_S_OK);
  VELP2PPeerInfo* bob = peer->GetGroupPeers()->Locate("bob");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(bob->group.Str(), "/P2PRoot");
  ASSERT_EQ(bob->GetEndPointsInfoList()->Size(), 1);
  EXPECT_EQ(std::memcmp((*bob->GetEndPointsInfoList())[1], &kBob, sizeof(kBob)), 0);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"VELP2PPeerCreatNotif bob"});
  // The answer: point to point, to the unicast endpoint of the header, with the local message, "0".
  ASSERT_EQ(FakeSent().size(), 1u);
  const SentMessage& answer = FakeSent()[0];
  EXPECT_FALSE(answer.toGroup);
  EXPECT_EQ(answer.group, "/P2PRoot");
  EXPECT_EQ(answer.service, "PeerService");
  EXPECT_EQ(answer.remote.port, kBob.port);
  EXPECT_EQ(answer.remote.address, kBob.address);
  EXPECT_EQ(Hex(answer.payload), Hex(Bytes({'0', 0x00, 0x02, MULTICAST_RECORD, UNICAST_RECORD, 0, 0, 0, 0})));
}

TEST_F(PeerService, PresenceHeardPointToPointIsStoredButNotAnswered) {
  VELP2PPeer* peer = Start();
  EXPECT_EQ(Deliver("/P2PRoot", "PeerService", "bob", PeerMessage('0', {kBob}), false, kBob), VEL_S_OK);
  EXPECT_NE(peer->GetGroupPeers()->Locate("bob"), nullptr);
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(PeerService, OwnAnnouncementIsStoredButNeverAnswered) {
  VELP2PPeer* peer = Start();
  EXPECT_EQ(Deliver("/P2PRoot", "PeerService", "me", PeerMessage('0', {kBob}), true, kBob), VEL_S_OK);
  EXPECT_NE(peer->GetGroupPeers()->Locate("me"), nullptr);
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(PeerService, MessagesOfAnotherGroupAreRefused) {
  VELP2PPeer* peer = Start();
  Join(peer, "Design");
  // The group rule lets the root's traffic through; the service itself wants its own group only.
  EXPECT_EQ(Deliver("/P2PRoot", "PeerService", "bob", PeerMessage('0', {kBob}), true, kBob), VEL_E_FAIL);
  EXPECT_EQ(peer->GetGroupPeers()->Size(), 0);
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(PeerService, LeaveRemovesTheSenderAndUnknownOrOtherCommandsChangeNothing) {
  VELP2PPeer* peer = Start();
  ASSERT_EQ(Deliver("/P2PRoot", "PeerService", "bob", PeerMessage('0', {kBob}), false, kBob), VEL_S_OK);
  NotificationLog log(peer);
  EXPECT_EQ(Deliver("/P2PRoot", "PeerService", "carol", PeerMessage('1', {}), true, kBob), VEL_S_OK);
  EXPECT_EQ(Deliver("/P2PRoot", "PeerService", "bob", PeerMessage('7', {}), true, kBob), VEL_S_OK);
  EXPECT_EQ(peer->GetGroupPeers()->Size(), 1);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(Deliver("/P2PRoot", "PeerService", "bob", PeerMessage('1', {kBob}), true, kBob), VEL_S_OK);
  EXPECT_EQ(peer->GetGroupPeers()->Size(), 0);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"VELP2PPeerDestructNotif bob"});
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(PeerService, BodiesWhoseRecordsDoNotFitAreRefusedAndStoreNothing) {
  VELP2PPeer* peer = Start();
  std::vector<char> twoAnnounced = PeerMessage('0', {kBob});
  twoAnnounced[2] = 2;  // N = 2 with one record and the 4 trailing bytes after it
  std::vector<char> overrun = PeerMessage('0', {kBob});
  overrun[3] = static_cast<char>(200);  // the record claims 200 bytes
  std::vector<char> tooShort = PeerMessage('0', {kBob});
  tooShort[3] = 4;  // a record too short for its own fields
  for (const std::vector<char>& body : {twoAnnounced, overrun, tooShort, Bytes({'0', 0x00})}) {
    EXPECT_EQ(Deliver("/P2PRoot", "PeerService", "bob", body, true, kBob), VEL_E_FAIL) << Hex(body);
  }
  EXPECT_EQ(peer->GetGroupPeers()->Size(), 0);
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(PeerService, MovingToAnotherGroupLeavesTheOldOneFirst) {
  VELP2PPeer* peer = Start();
  ASSERT_EQ(Deliver("/P2PRoot", "PeerService", "bob", PeerMessage('0', {kBob}), false, kBob), VEL_S_OK);
  VELUnicodeString design("Design");
  ASSERT_EQ(peer->CreateAndOrJoinSubGroup(&design), VEL_S_OK);
  EXPECT_EQ(peer->GetGroupPeers()->Size(), 0);
  std::vector<std::string> peerSends;
  for (const SentMessage& sent : FakeSent()) {
    if (sent.service == "PeerService")
      peerSends.push_back(std::string(1, sent.payload[0]) + " " + sent.group);
  }
  EXPECT_EQ(peerSends, (std::vector<std::string>{"1 /P2PRoot", "0 /P2PRoot/Design"}));
  EXPECT_EQ(Service(peer, "PeerService")->GetAnnouncedGroup().Str(), "/P2PRoot/Design");
}

TEST_F(PeerService, FailedLeaveKeepsTheOldGroupAndAnnouncesNothing) {
  // Without a multicast endpoint every send to a group fails.
  VELP2PPeer* peer = Start("VELP2PTCPEndPoint|10.0.0.5|0\n");
  TraceCapture trace;
  Join(peer, "Design");
  EXPECT_EQ(Service(peer, "PeerService")->GetAnnouncedGroup().Str(), "/P2PRoot");
  EXPECT_EQ(trace.Count("VELP2PPeerService - GroupModificationCB"), 1);
  EXPECT_EQ(trace.Count("VELP2PPeerService - GroupModificationCB OK "), 0);
}

TEST_F(PeerService, ClosingSendsTheLeaveToTheCurrentGroup) {
  VELP2PPeer* peer = Start();
  Join(peer, "Design");
  ASSERT_EQ(peer->Disconnect(), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 1u);
  EXPECT_TRUE(FakeSent()[0].toGroup);
  EXPECT_EQ(FakeSent()[0].group, "/P2PRoot/Design");
  EXPECT_EQ(FakeSent()[0].service, "PeerService");
  EXPECT_EQ(FakeSent()[0].payload[0], '1');
  EXPECT_EQ(FakeSent()[0].payload.size(), 23u);
}

}  // namespace
