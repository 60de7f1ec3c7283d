// The discovery service: search requests, answers, the cross-group directory and the search results.
#include "unit/StandardModeTestSupport.h"

namespace {

// T announces 10.0.0.9:4000 in its payload; its headers name another endpoint, 10.0.0.99:4999, so that a
// test can tell which of the two an answer went to.
const VELP2PEndPointInfo kTRecord = UnicastRecord("10.0.0.9", 4000);
const VELP2PEndPointInfo kTHeader = UnicastRecord("10.0.0.99", 4999);

using Discovery = StandardMode;

TEST_F(Discovery, SearchMulticastsARequestToTheCurrentGroup) {
  VELP2PPeer* peer = Start();
  Join(peer, "A");
  ASSERT_EQ(peer->CrossGroupPeerSearch(), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 1u);
  EXPECT_TRUE(FakeSent()[0].toGroup);
  EXPECT_EQ(FakeSent()[0].group, "/P2PRoot/A");
  EXPECT_EQ(FakeSent()[0].service, "DiscoveryService");
  EXPECT_EQ(Hex(FakeSent()[0].payload),
            Hex(Bytes({'1', 0x00, 0x02, MULTICAST_RECORD, UNICAST_RECORD, 0, 0, 0, 0})));
}

TEST_F(Discovery, RequestFromAnyGroupIsRecordedAndAnsweredAtTheAnnouncedEndPoint) {
  VELP2PPeer* peer = Start();
  NotificationLog log(peer);
  // A group below the current one: the group rule would hide it, the discovery service accepts it.
  EXPECT_EQ(Deliver("/P2PRoot/B", "DiscoveryService", "T", PeerMessage('1', {kTRecord}), true, kTHeader),
            VEL_S_OK);
  VELP2PPeerInfo* t = peer->GetCrossGroupPeers()->Locate("T");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->group.Str(), "/P2PRoot/B");
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"VELP2PCrossGroupPeerCreatNotif T /P2PRoot/B"});
  EXPECT_EQ(peer->GetSubGroups()->Size(), 0);
  ASSERT_EQ(FakeSent().size(), 1u);
  const SentMessage& answer = FakeSent()[0];
  EXPECT_FALSE(answer.toGroup);
  EXPECT_EQ(answer.group, "/P2PRoot");
  EXPECT_EQ(answer.service, "DiscoveryService");
  EXPECT_EQ(answer.remote.address, kTRecord.address);
  EXPECT_EQ(answer.remote.port, kTRecord.port);
  EXPECT_EQ(Hex(answer.payload), Hex(Bytes({'0', 0x00, 0x02, MULTICAST_RECORD, UNICAST_RECORD, 0, 0, 0, 0})));
}

TEST_F(Discovery, RequestPointToPointOrFromItselfIsRecordedButNotAnswered) {
  VELP2PPeer* peer = Start();
  EXPECT_EQ(Deliver("/P2PRoot/B", "DiscoveryService", "T", PeerMessage('1', {kTRecord}), false, kTHeader),
            VEL_S_OK);
  EXPECT_EQ(Deliver("/P2PRoot", "DiscoveryService", "me", PeerMessage('1', {kTRecord}), true, kTHeader),
            VEL_S_OK);
  EXPECT_EQ(Names(peer->GetCrossGroupPeers()), (std::vector<std::string>{"T", "me"}));
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(Discovery, AnswerIsStoredReportedAndEnteredAmongTheGroupPeers) {
  VELP2PPeer* peer = Start();
  ASSERT_EQ(peer->CrossGroupPeerSearch(), VEL_S_OK);
  FakeSent().clear();
  NotificationLog log(peer);
  EXPECT_EQ(Deliver("/P2PRoot/B", "DiscoveryService", "T", PeerMessage('0', {kTRecord}), false, kTHeader),
            VEL_S_OK);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"VELP2PCrossGroupPeerCreatNotif T /P2PRoot/B",
                                      "VELP2PSearchResultNotif T /P2PRoot/B", "VELP2PPeerCreatNotif T"}));
  EXPECT_EQ(peer->GetCrossGroupPeers()->Locate("T")->group.Str(), "/P2PRoot/B");
  ASSERT_NE(peer->GetGroupPeers()->Locate("T"), nullptr);
  EXPECT_TRUE(FakeSent().empty());
  // The record found lets the application reach T in T's own group, whatever group it names.
  VELUnicodeString anyGroup("/ignored");
  VELUnicodeString name("T");
  char data[] = "hi";
  EXPECT_EQ(peer->SendToPeerCrossGroup(anyGroup, "Test", data, 2, name), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 1u);
  EXPECT_EQ(FakeSent()[0].group, "/P2PRoot/B");
  EXPECT_EQ(FakeSent()[0].remote.port, kTRecord.port);
}

TEST_F(Discovery, PeerAnsweringTwiceIsStoredOnceButReportedTwice) {
  VELP2PPeer* peer = Start();
  NotificationLog log(peer);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Deliver("/P2PRoot/B", "DiscoveryService", "T", PeerMessage('0', {kTRecord}), false, kTHeader),
              VEL_S_OK);
  }
  EXPECT_EQ(peer->GetCrossGroupPeers()->Size(), 1);
  EXPECT_EQ(log.Count("VELP2PCrossGroupPeerCreatNotif T /P2PRoot/B"), 1);
  EXPECT_EQ(log.Count("VELP2PSearchResultNotif T /P2PRoot/B"), 2);
}

TEST_F(Discovery, SecondSearchForgetsTheFirstResults) {
  VELP2PPeer* peer = Start();
  NotificationLog log(peer);
  for (int search = 0; search < 2; ++search) {
    ASSERT_EQ(peer->CrossGroupPeerSearch(), VEL_S_OK);
    EXPECT_EQ(peer->GetCrossGroupPeers()->Size(), 0);
    EXPECT_EQ(Deliver("/P2PRoot/B", "DiscoveryService", "T", PeerMessage('0', {kTRecord}), false, kTHeader),
              VEL_S_OK);
  }
  EXPECT_EQ(peer->GetCrossGroupPeers()->Size(), 1);
  EXPECT_EQ(log.Count("VELP2PCrossGroupPeerCreatNotif T /P2PRoot/B"), 2);
  EXPECT_EQ(FakeSent().size(), 2u);  // the two requests
}

TEST_F(Discovery, BodiesWhoseRecordsDoNotFitAreRefusedAndStoreNothing) {
  VELP2PPeer* peer = Start();
  NotificationLog log(peer);
  std::vector<char> twoAnnounced = PeerMessage('1', {kTRecord});
  twoAnnounced[2] = 2;
  std::vector<char> answer = PeerMessage('0', {kTRecord});
  answer[3] = static_cast<char>(0xFF);
  for (const std::vector<char>& body : {twoAnnounced, answer, Bytes({'1'})}) {
    EXPECT_EQ(Deliver("/P2PRoot/B", "DiscoveryService", "T", body, true, kTHeader), VEL_E_FAIL) << Hex(body);
  }
  EXPECT_EQ(peer->GetCrossGroupPeers()->Size(), 0);
  EXPECT_EQ(peer->GetGroupPeers()->Size(), 0);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(FakeSent().empty());
}

}  // namespace
