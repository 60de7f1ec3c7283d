// The status service: what each kind of status message does to the status store, the local status and the
// notifications.
#include "unit/ServiceTestSupport.h"

using namespace svctest;

using StatusService = CollaborationTest;

TEST_F(StatusService, BirthIsStoredSilentlyUpdateIsNotifiedOtherKindsAreIgnored) {
  Start();
  // A birth is stored without notification, but not under the local name.
  ASSERT_EQ(FromPeer("bob", "StatusService", VELP2PWriteStatus('2', 5, "new")), VEL_S_OK);
  ASSERT_EQ(FromPeer("alice", "StatusService", VELP2PWriteStatus('2', 5, "new")), VEL_S_OK);
  ASSERT_EQ(FromPeer("carol", "StatusService", VELP2PWriteStatus('9', 5, "x")), VEL_S_OK);
  EXPECT_EQ(StatusOf("bob"), "5 new");
  EXPECT_EQ(StatusOf("alice"), "none");
  EXPECT_EQ(StatusOf("carol"), "none");
  EXPECT_EQ(_peer->GetStatus(), 6);
  EXPECT_EQ(_log->Count("VELP2PChangeStatusNotif"), 0);

  // An update is stored and notified even under the local name, whose status it sets.
  ASSERT_EQ(FromSelf("StatusService", VELP2PWriteStatus('1', 8, "echo"), false, "/Force"), VEL_S_OK);
  EXPECT_EQ(StatusOf("alice"), "8 echo");
  EXPECT_EQ(_peer->GetStatus(), 8);
  EXPECT_EQ(_peer->GetDesc(), "echo");
  EXPECT_EQ(_log->Lines(), std::vector<std::string>{"VELP2PChangeStatusNotif alice 8 echo"});
}
