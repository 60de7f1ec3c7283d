// The group service: which peers answer a publication from the parent group, and which components are
// ignored. Y enters /P2PRoot/Design and publishes Design under the root; X, in /P2PRoot/Design/Team1,
// answers Team1 to Y.
#include "unit/ServiceTestSupport.h"

using namespace svctest;

namespace {

const VELP2PEndPointInfo kY = UnicastRecord("10.0.0.7", 4100);
const VELP2PEndPointInfo kX = UnicastRecord("10.0.0.8", 4200);

using GroupService = StandardModeTest;

VELResult FromY(const std::string& component) {
  return Deliver("/P2PRoot", "GroupService", "Y", VELP2PWriteGroupComponent(component), true, kY);
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
