// The group service: publications to the parent group, answers from below, and the sub-groups learnt. The
// worked example: Y enters /P2PRoot/Design and publishes Design under the root; W, in the root, learns
// Design; X, in /P2PRoot/Design/Team1, answers Team1 to Y, which learns it.
#include "unit/ServiceTestSupport.h"

using namespace svctest;

namespace {

const VELP2PEndPointInfo kY = UnicastRecord("10.0.0.7", 4100);
const VELP2PEndPointInfo kX = UnicastRecord("10.0.0.8", 4200);

using GroupService = StandardModeTest;

std::vector<std::string> SubGroups(VELP2PPeer* peer) {
  std::vector<std::string> names;
  for (const VELUnicodeString& name : *peer->GetSubGroups())
    names.push_back(name.Str());
  return names;
}

VELResult FromY(const std::string& component) {
  return Deliver("/P2PRoot", "GroupService", "Y", VELP2PWriteGroupComponent(component), true, kY);
}

TEST_F(GroupService, WorkedExamplePeerInTheParentLearnsTheSubGroupOnce) {
  Start();  // as W
  EXPECT_EQ(FromY("Design"), VEL_S_OK);
  EXPECT_EQ(FromY("Design"), VEL_S_OK);
  EXPECT_EQ(SubGroups(_peer), std::vector<std::string>{"Design"});
  EXPECT_EQ(_log->Lines(), std::vector<std::string>{"VELP2PSubGroupModifNotif me /P2PRoot"});
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(GroupService, WorkedExamplePeerBelowAnswersOnlyAPublisherItKnows) {
  Start();  // as X
  Join("Design");
  Join("Team1");
  EXPECT_EQ(FromY("Design"), VEL_E_FAIL);
  EXPECT_TRUE(FakeSent().empty());

  auto* y = new VELP2PPeerInfo(VELUnicodeString("Y"), 0, VELUnicodeString("/P2PRoot/Design"));
  ASSERT_EQ(_peer->NewPeerDiscovered(y), VEL_S_OK);
  EXPECT_EQ(FromY("Design"), VEL_S_OK);
  // "Team1" and its zero byte, to Y's group and record.
  EXPECT_EQ(SentLines(),
            std::vector<std::string>{"/P2PRoot/Design GroupService 5465616d3100 to " + RecordHex(kY)});
  EXPECT_EQ(_peer->GetSubGroups()->Size(), 0);
}

TEST_F(GroupService, WorkedExamplePublisherPublishesToTheParentAndLearnsTheAnswer) {
  Start();  // as Y
  VELUnicodeString design("Design");
  ASSERT_EQ(_peer->CreateAndOrJoinSubGroup(&design), VEL_S_OK);
  ASSERT_FALSE(FakeSent().empty());
  EXPECT_EQ(SentLines()[0], "/P2PRoot GroupService 44657369676e00");  // "Design" and its zero byte
  FakeSent().clear();
  // The answer reaches Y with Y's own group.
  EXPECT_EQ(Deliver("/P2PRoot/Design", "GroupService", "X", VELP2PWriteGroupComponent("Team1"), false, kX),
            VEL_S_OK);
  EXPECT_EQ(SubGroups(_peer), std::vector<std::string>{"Team1"});
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(GroupService, PeersInThePublishedGroupOrElsewhereHaveNothingToTell) {
  Start();
  Join("Design");
  ASSERT_EQ(_peer->NewPeerDiscovered(new VELP2PPeerInfo(VELUnicodeString("Y"), 0, VELUnicodeString("/"))),
            VEL_S_OK);
  _log->Clear();
  EXPECT_EQ(FromY("Design"), VEL_S_OK);  // the group just entered
  EXPECT_EQ(FromY("Sales"), VEL_S_OK);   // an unrelated branch
  // A group that only continues the published name: /P2PRoot/DesignLab is not below /P2PRoot/Design.
  VELP2PPeerTestAccess::SetCurrentGroup(_peer, "/P2PRoot/DesignLab/Team1");
  EXPECT_EQ(FromY("Design"), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  EXPECT_TRUE(_log->Lines().empty());
  EXPECT_EQ(_peer->GetSubGroups()->Size(), 0);
}

TEST_F(GroupService, EmptyOrSeparatedComponentsAreIgnored) {
  Start();
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "X", VELP2PWriteGroupComponent(""), false, kX), VEL_S_OK);
  EXPECT_EQ(Deliver("/P2PRoot", "GroupService", "X", VELP2PWriteGroupComponent("Design/Team1"), false, kX),
            VEL_S_OK);
  EXPECT_TRUE(_peer->GetSubGroups()->Size() == 0);
}

}  // namespace
