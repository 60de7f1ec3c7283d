// The status service and the local status change: the payload on the wire, its reading back, and what each
// kind of status message does to the status store, the local status and the notifications.
#include "unit/CollaborationTestSupport.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PStatusService.h"

using collabtest::CollaborationTest;
using collabtest::StatusPayload;

namespace {

class StatusService : public CollaborationTest {
 protected:
  // The payload ChangeP2PStatus multicasts for status and desc.
  std::vector<char> ChangePayload(int32_t status, const std::string& desc) {
    FakeSent().clear();
    EXPECT_EQ(_peer->ChangeP2PStatus(status, desc), VEL_S_OK);
    EXPECT_EQ(FakeSent().size(), 1u);
    if (FakeSent().empty())
      return {};
    std::vector<char> payload = FakeSent()[0].payload;
    FakeSent().clear();
    return payload;
  }
};

}  // namespace

TEST_F(StatusService, ChangeIsMulticastAndAppliedLocallyOnlyWhenItComesBack) {
  Start();
  std::vector<char> payload = ChangePayload(3, "in a meeting");
  // 30 kind change, 03000000 status 3, 0c000000 twelve bytes, then the text.
  EXPECT_EQ(Hex(payload), "30030000000c000000" + Hex(collabtest::Bytes("in a meeting")));
  EXPECT_EQ(_peer->GetStatus(), 6);
  EXPECT_EQ(_log->Count("VELP2PChangeStatusNotif"), 0);

  ASSERT_EQ(Deliver("/", "StatusService", "alice", payload, true, UnicastRecord("127.0.0.1", 0)), VEL_S_OK);
  EXPECT_EQ(_peer->GetStatus(), 3);
  EXPECT_EQ(_peer->GetDesc(), "in a meeting");
  ASSERT_EQ(_log->Count("VELP2PChangeStatusNotif"), 1);
  const collabtest::Event event = _log->Of("VELP2PChangeStatusNotif")[0];
  EXPECT_EQ(event.peer, "alice");
  EXPECT_EQ(event.status, 3);
  EXPECT_EQ(event.desc, "in a meeting");
  // The local peer's own change is not written into the store.
  EXPECT_EQ(Status("alice"), -1);
  EXPECT_FALSE(_printed->Contains("CHANGE For"));
}

TEST_F(StatusService, ChangeFromAnotherPeerIsStoredAndNotified) {
  Start();
  ASSERT_EQ(FromPeer("bob", "StatusService", StatusPayload('0', 3, "in a meeting"), true), VEL_S_OK);
  EXPECT_EQ(Status("bob"), 3);
  EXPECT_EQ(Desc("bob"), "in a meeting");
  ASSERT_EQ(_log->Count("VELP2PChangeStatusNotif"), 1);
  EXPECT_EQ(_log->Of("VELP2PChangeStatusNotif")[0].peer, "bob");
  EXPECT_EQ(_peer->GetStatus(), 6);
  EXPECT_TRUE(_printed->Contains("CHANGE For <bob>, status is <3> and desc is <in a meeting>\n"));
}

TEST_F(StatusService, DescriptionsSurviveTheRoundTrip) {
  Start();
  const std::vector<std::string> descriptions = {"", "back at 5", "Ça gère, 東京 ✓"};
  for (size_t i = 0; i < descriptions.size(); ++i) {
    const std::string sender = "peer" + std::to_string(i);
    std::vector<char> payload = ChangePayload(static_cast<int32_t>(i) + 1, descriptions[i]);
    _log->Clear();
    ASSERT_EQ(FromPeer(sender.c_str(), "StatusService", payload, true), VEL_S_OK) << i;
    EXPECT_EQ(Status(sender.c_str()), static_cast<int32_t>(i) + 1);
    EXPECT_EQ(Desc(sender.c_str()), descriptions[i]);
    ASSERT_EQ(_log->Count("VELP2PChangeStatusNotif"), 1);
    EXPECT_EQ(_log->Of("VELP2PChangeStatusNotif")[0].desc, descriptions[i]);
  }
}

TEST_F(StatusService, EmptyDescriptionTravelsAsOneZeroByte) {
  Start();
  // 30 change, ffffffff status -1, 01000000 one byte, 00.
  EXPECT_EQ(Hex(ChangePayload(-1, "")), "30ffffffff0100000000");
}

TEST_F(StatusService, RefusesADescriptionOfNoByte) {
  Start();
  EXPECT_EQ(FromPeer("bob", "StatusService", StatusPayload('0', 3, ""), true), VEL_E_FAIL);
  EXPECT_EQ(Status("bob"), -1);
  EXPECT_EQ(_log->Count("VELP2PChangeStatusNotif"), 0);
}

TEST_F(StatusService, RefusesEveryTruncatedPayload) {
  Start();
  std::vector<char> full = StatusPayload('1', 3, "abc");
  for (size_t size = 0; size < full.size(); ++size) {
    std::vector<char> cut(full.begin(), full.begin() + size);
    EXPECT_EQ(FromPeer("bob", "StatusService", cut), VEL_E_FAIL) << size;
  }
  // A description length beyond the bytes that follow it.
  std::vector<char> overlong = StatusPayload('1', 3, "abc");
  overlong[5] = 100;
  EXPECT_EQ(FromPeer("bob", "StatusService", overlong), VEL_E_FAIL);
  overlong[5] = 0;
  overlong[8] = static_cast<char>(0x80);  // negative
  EXPECT_EQ(FromPeer("bob", "StatusService", overlong), VEL_E_FAIL);

  EXPECT_EQ(Status("bob"), -1);
  EXPECT_EQ(_log->Count("VELP2PChangeStatusNotif"), 0);
  EXPECT_FALSE(_printed->Contains("UPDATE For"));
}

TEST_F(StatusService, BirthKindIsStoredWithoutNotificationAndIgnoredFromTheLocalName) {
  Start();
  ASSERT_EQ(FromPeer("bob", "StatusService", StatusPayload('2', 5, "new")), VEL_S_OK);
  EXPECT_EQ(Status("bob"), 5);
  EXPECT_EQ(Desc("bob"), "new");
  EXPECT_TRUE(_printed->Contains("BIRTH For <bob>, status is <5> and desc is <new>\n"));

  ASSERT_EQ(FromPeer("alice", "StatusService", StatusPayload('2', 5, "new")), VEL_S_OK);
  EXPECT_EQ(Status("alice"), -1);
  EXPECT_EQ(_peer->GetStatus(), 6);
  EXPECT_EQ(_log->Count("VELP2PChangeStatusNotif"), 0);
}

TEST_F(StatusService, UpdateIsStoredAndNotifiedEvenUnderTheLocalName) {
  Start();
  ASSERT_EQ(FromPeer("alice", "StatusService", StatusPayload('1', 8, "echo"), false, "/Force"), VEL_S_OK);
  EXPECT_EQ(Status("alice"), 8);
  EXPECT_EQ(_peer->GetStatus(), 8);
  EXPECT_EQ(_peer->GetDesc(), "echo");
  EXPECT_EQ(_log->Count("VELP2PChangeStatusNotif"), 1);
  EXPECT_TRUE(_printed->Contains("UPDATE For <alice>, status is <8> and desc is <echo>\n"));
}

TEST_F(StatusService, OtherKindsAreReadAndIgnored) {
  Start();
  ASSERT_EQ(FromPeer("bob", "StatusService", StatusPayload('9', 5, "x")), VEL_S_OK);
  EXPECT_EQ(Status("bob"), -1);
  EXPECT_EQ(_log->Count("VELP2PChangeStatusNotif"), 0);
}

TEST_F(StatusService, ReceivesFromEveryGroup) {
  Start();
  ASSERT_EQ(FromPeer("bob", "StatusService", StatusPayload('0', 1, "x"), true, "/Elsewhere/Team"), VEL_S_OK);
  EXPECT_EQ(Status("bob"), 1);
  EXPECT_EQ(_peer->GetSubGroups()->Size(), 0);
}

TEST_F(StatusService, ChangeWhileNotConnectedSucceedsAndDoesNothing) {
  EXPECT_EQ(_peer->ChangeP2PStatus(3, "x"), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  EXPECT_EQ(_peer->GetStatus(), 6);
  EXPECT_EQ(_log->Count("VELP2PChangeStatusNotif"), 0);
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
