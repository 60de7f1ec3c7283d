// The discovery service: search requests, answers, the cross-group directory and the search results.
#include "unit/ServiceTestSupport.h"

using namespace svctest;

namespace {

// T announces 10.0.0.9:4000 in its payload; its headers name another endpoint, 10.0.0.99:4999, so that a
// test can tell which of the two an answer went to.
const VELP2PEndPointInfo kTRecord = UnicastRecord("10.0.0.9", 4000);
const VELP2PEndPointInfo kTHeader = UnicastRecord("10.0.0.99", 4999);

using Discovery = StandardModeTest;

VELResult FromT(char command, bool multicast, const char* sender = "T", const char* group = "/P2PRoot/B") {
  return Deliver(group, "DiscoveryService", sender, PeerMessage(command, {kTRecord}), multicast, kTHeader);
}

TEST_F(Discovery, RequestIsRecordedFromAnyGroupAndAnsweredOnlyWhenMulticastByAnother) {
  Start();
  // Point to point, or from itself: recorded, not answered.
  EXPECT_EQ(FromT('1', false, "U"), VEL_S_OK);
  EXPECT_EQ(FromT('1', true, "me", "/P2PRoot"), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  _log->Clear();
  // A group below the current one: the group rule would hide it, the discovery service accepts it.
  EXPECT_EQ(FromT('1', true), VEL_S_OK);
  EXPECT_EQ(Names(_peer->GetCrossGroupPeers()), (std::vector<std::string>{"T", "U", "me"}));
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

}  // namespace
