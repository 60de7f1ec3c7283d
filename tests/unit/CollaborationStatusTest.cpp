// The status service and the local status change: what each kind of status message does to the status
// store, the local status and the notifications, and the bound on a description.
#include "unit/ServiceTestSupport.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PStatusService.h"

using namespace svctest;

namespace {

class StatusService : public CollaborationTest {
 protected:
  // The payload ChangeP2PStatus multicasts for status and desc.
  std::vector<char> ChangePayload(int32_t status, const std::string& desc) {
    FakeSent().clear();
    EXPECT_EQ(_peer->ChangeP2PStatus(status, desc), VEL_S_OK);
    std::vector<char> payload = FakeSent().size() == 1 ? FakeSent()[0].payload : std::vector<char>();
    FakeSent().clear();
    return payload;
  }
};

}  // namespace

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

TEST_F(StatusService, ChangeRefusesADescriptionThatCannotFitOneDatagram) {
  Start();
  const int most = VELP2PStatusService::MaxDescriptionBytes();
  std::vector<char> largest = ChangePayload(1, std::string(static_cast<size_t>(most), 'd'));
  // The whole block to "/": the fixed header, the one-byte group and the payload.
  EXPECT_EQ(VELP2P_HEADER_FIXED_SIZE + 1 + static_cast<int>(largest.size()), VELP2P_MULTICAST_MAX_BLOCK);
  EXPECT_EQ(_peer->ChangeP2PStatus(1, std::string(static_cast<size_t>(most) + 1, 'd')), VEL_E_FAIL);
  // Counted in bytes: fewer characters than the limit, but two bytes each.
  std::string accents;
  for (int i = 0; i < most / 2 + 1; ++i)
    accents += "é";
  EXPECT_EQ(_peer->ChangeP2PStatus(1, accents), VEL_E_FAIL);
  EXPECT_TRUE(FakeSent().empty());
}
