// The group service: publications to the parent group, answers from below, and the sub-groups learnt.
#include "unit/StandardModeTestSupport.h"

namespace {

const VELP2PEndPointInfo kY = UnicastRecord("10.0.0.7", 4100);
const VELP2PEndPointInfo kX = UnicastRecord("10.0.0.8", 4200);

using GroupService = StandardMode;

std::vector<std::string> SubGroups(VELP2PPeer* peer) {
  std::vector<std::string> names;
  for (const VELUnicodeString& name : *peer->GetSubGroups())
    names.push_back(name.Str());
  return names;
}

TEST_F(GroupService, PublishesTheRootUnderTheEmptyGroupAtStartUp) {
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  ASSERT_EQ(peer->InitP2P(), VEL_S_OK);
  ASSERT_FALSE(FakeSent().empty());
  const SentMessage& publication = FakeSent()[0];
  EXPECT_TRUE(publication.toGroup);
  EXPECT_EQ(publication.group, "");
  EXPECT_EQ(publication.service, "GroupService");
  // "P2PRoot" and the zero byte of the single streamed string.
  EXPECT_EQ(Hex(publication.payload), Hex(Bytes({0x50, 0x32, 0x50, 0x52, 0x6F, 0x6F, 0x74, 0x00})));
}

TEST_F(GroupService, EnteringASubGroupPublishesItsNameToTheParent) {
  VELP2PPeer* peer = Start();
  VELUnicodeString design("Design");
  ASSERT_EQ(peer->CreateAndOrJoinSubGroup(&design), VEL_S_OK);
  ASSERT_FALSE(FakeSent().empty());
  EXPECT_TRUE(FakeSent()[0].toGroup);
  EXPECT_EQ(FakeSent()[0].group, "/P2PRoot");
  EXPECT_EQ(FakeSent()[0].service, "GroupService");
  EXPECT_EQ(Hex(FakeSent()[0].payload), Hex(Component("Design")));
}

// Y enters /P2PRoot/Design and publishes Design under the root; W, in the root, learns Design.
TEST_F(GroupService, WorkedExamplePeerInTheParentLearnsTheSubGroup) {
  VELP2PPeer* w = Start();
  NotificationLog log(w);
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "Y", Component("Design"), true, kY), VEL_S_OK);
  EXPECT_EQ(SubGroups(w), std::vector<std::string>{"Design"});
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"VELP2PSubGroupModifNotif me /P2PRoot"});
  EXPECT_TRUE(FakeSent().empty());
}

// X, in /P2PRoot/Design/Team1, answers Team1 under /P2PRoot/Design, but only to a Y of its _groupPeers.
TEST_F(GroupService, WorkedExamplePeerBelowAnswersOnlyAPublisherItKnows) {
  VELP2PPeer* x = Start();
  Join(x, "Design");
  Join(x, "Team1");
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "Y", Component("Design"), true, kY), VEL_E_FAIL);
  EXPECT_TRUE(FakeSent().empty());

  auto* y = new VELP2PPeerInfo(VELUnicodeString("Y"), 0, VELUnicodeString("/P2PRoot/Design"));
  ASSERT_EQ(x->NewPeerDiscovered(y), VEL_S_OK);
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "Y", Component("Design"), true, kY), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 1u);
  const SentMessage& answer = FakeSent()[0];
  EXPECT_FALSE(answer.toGroup);
  EXPECT_EQ(answer.group, "/P2PRoot/Design");
  EXPECT_EQ(answer.service, "GroupService");
  EXPECT_EQ(answer.remote.address, kY.address);
  EXPECT_EQ(answer.remote.port, kY.port);
  EXPECT_EQ(Hex(answer.payload), Hex(Component("Team1")));
  EXPECT_TRUE(x->GetSubGroups()->Size() == 0);
}

// The answer reaches Y with Y's own group: Y learns Team1.
TEST_F(GroupService, WorkedExamplePublisherLearnsTheSubGroupOfTheAnswer) {
  VELP2PPeer* y = Start();
  Join(y, "Design");
  EXPECT_EQ(Deliver("/P2PRoot/Design", "GroupService", "X", Component("Team1"), false, kX), VEL_S_OK);
  EXPECT_EQ(SubGroups(y), std::vector<std::string>{"Team1"});
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(GroupService, SamePublicationTwiceNotifiesOnce) {
  VELP2PPeer* peer = Start();
  NotificationLog log(peer);
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "Y", Component("Design"), true, kY), VEL_S_OK);
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "Y", Component("Design"), true, kY), VEL_S_OK);
  EXPECT_EQ(log.Count("VELP2PSubGroupModifNotif me /P2PRoot"), 1);
  EXPECT_EQ(SubGroups(peer), std::vector<std::string>{"Design"});
}

TEST_F(GroupService, PeersInThePublishedGroupOrElsewhereHaveNothingToTell) {
  VELP2PPeer* peer = Start();
  Join(peer, "Design");
  ASSERT_EQ(peer->NewPeerDiscovered(new VELP2PPeerInfo(VELUnicodeString("Y"), 0, VELUnicodeString("/"))),
            VEL_S_OK);
  NotificationLog log(peer);
  // In the group just entered.
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "Y", Component("Design"), true, kY), VEL_S_OK);
  // In an unrelated branch.
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "Y", Component("Sales"), true, kY), VEL_S_OK);
  // In a group that only continues the published name: /P2PRoot/DesignLab is not below /P2PRoot/Design.
  VELP2PPeerTestAccess::SetCurrentGroup(peer, "/P2PRoot/DesignLab/Team1");
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "Y", Component("Design"), true, kY), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(peer->GetSubGroups()->Size(), 0);
}

TEST_F(GroupService, RefusesAComponentWithoutItsZeroByte) {
  VELP2PPeer* peer = Start();
  std::vector<char> unterminated{'D', 'e', 's', 'i', 'g', 'n'};
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "Y", unterminated, true, kY), VEL_E_FAIL);
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "Y", {}, true, kY), VEL_E_FAIL);
  EXPECT_EQ(peer->GetSubGroups()->Size(), 0);
}

TEST_F(GroupService, IgnoresEmptyComponentsAndComponentsHoldingTheSeparator) {
  VELP2PPeer* peer = Start();
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "X", Component(""), false, kX), VEL_S_OK);
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "X", Component("Design/Team1"), false, kX), VEL_S_OK);
  // Bytes after the terminator are not part of the component.
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "X", Bytes({'A', 0, 'B', 'C'}), false, kX), VEL_S_OK);
  EXPECT_EQ(SubGroups(peer), std::vector<std::string>{"A"});
}

}  // namespace
