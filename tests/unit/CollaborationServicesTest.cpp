// The collaboration services: the announcements the awareness service builds and what each kind does to the
// directory of connected peers, the status store and the traffic; status messages; messages and sessions.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>

#include "unit/ServiceTestSupport.h"
#include "velp2p/VELP2PCloseReason.h"

using namespace svctest;

namespace {

using Awareness = CollaborationTest;
using StatusService = CollaborationTest;
using ChatService = CollaborationTest;
using SessionService = CollaborationTest;

// A multicast endpoint's record: 224.0.1.85:2678, the address bytes reversed.
VELP2PEndPointInfo MulticastRecord() {
  VELP2PEndPointInfo multicast{8, VELP2P_ENDPOINT_MULTICAST, htons(2678), 0};
  const unsigned char reversed[4] = {0x55, 0x01, 0x00, 0xE0};
  std::memcpy(&multicast.address, reversed, 4);
  return multicast;
}

// A newcomer "bob" with a multicast record and its TCP record at 127.0.0.2:4000.
std::vector<char> BobAnnouncement(char kind) {
  return Announcement(kind, 777, {MulticastRecord(), UnicastRecord("127.0.0.2", 4000)});
}

}  // namespace

TEST_F(Awareness, BirthAndDeathAnnouncementsDescribeEveryEndPoint) {
  Start();
  // The TCP record's port is 0: the fake never chooses one.
  EXPECT_EQ(_birth, Announcement('0', getpid(), {MulticastRecord(), UnicastRecord("127.0.0.1", 0)}));
  ASSERT_EQ(_peer->Disconnect(), VEL_S_OK);
  EXPECT_EQ(SentLines(), std::vector<std::string>{"/ AwarenessService 32" + Hex(_birth).substr(2)});
}

TEST_F(Awareness, BirthHeardByMulticastIsAnsweredWithAnnouncementThenStatus) {
  Start();
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('0'), true), VEL_S_OK);
  // The local announcement with kind "1", then the status with kind "1": 06000000 status 6, 01000000 one
  // byte of description, 00 the empty description. Both to bob's TCP record, not to its multicast one.
  const std::string toBob = " to 08010fa07f000002";
  EXPECT_EQ(SentLines(),
            (std::vector<std::string>{"/P2PRoot AwarenessService 31" + Hex(_birth).substr(2) + toBob,
                                      "/P2PRoot StatusService 31060000000100000000" + toBob}));
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 1);
  EXPECT_EQ(StatusOf("bob"), "0 ");
  EXPECT_EQ(_log->Lines(), std::vector<std::string>{"VELP2PPeerBirthNotif bob"});

  // The answer carries the current status, once the local change has come back.
  ASSERT_EQ(_peer->ChangeP2PStatus(2, "in a meeting"), VEL_S_OK);
  ASSERT_EQ(FromSelf("StatusService", FakeSent().back().payload, true, "/"), VEL_S_OK);
  FakeSent().clear();
  ASSERT_EQ(FromPeer("carol", "AwarenessService", BobAnnouncement('0'), true), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 2u);
  EXPECT_EQ(FakeSent()[1].payload, VELP2PWriteStatus('1', 2, "in a meeting"));
}

TEST_F(Awareness, ANameInUseIsToldToTheNewcomerWhoLeavesOnlyWhenToldPointToPoint) {
  Start();
  HearOwnBirth();
  _log->Clear();
  ASSERT_EQ(FromPeer("alice", "AwarenessService", BobAnnouncement('0'), true), VEL_S_OK);
  // Both through "/Force", the one group in which the newcomer accepts messages under its own name.
  ASSERT_EQ(SentLines().size(), 2u);
  EXPECT_EQ(SentLines()[0].substr(0, 26), "/Force AwarenessService 33");
  EXPECT_EQ(SentLines()[1].substr(0, 21), "/Force StatusService ");
  // The name is present already: the newcomer's record is discarded, nothing is fired.
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 0);
  VELP2PPeerInfo* kept = _peer->GetConnectedPeersDirectory()->Locate("alice");
  ASSERT_NE(kept, nullptr);
  ASSERT_EQ(kept->GetEndPointsInfoList()->Size(), 2);
  EXPECT_EQ((*kept->GetEndPointsInfoList())[2]->address, UnicastRecord("127.0.0.1", 0).address);

  // Told the name is taken, the local peer leaves only when the answer comes point to point under its own
  // name, and says why; a forgery under another name changes nothing (one by multicast is the process
  // tests'), and an answer outside "/Force" never reaches it.
  FakeSent().clear();
  std::string reason = "none";
  VELCallback* closing = AddCallback(nullptr, _peer->GetP2PPublisher(), "VELP2PClosePeerNotif",
                                     [&reason](VELNotification*) { reason = VELP2PCloseReason(); });
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('3'), false, "/Force"), VEL_S_OK);
  ASSERT_EQ(FromSelf("AwarenessService", BobAnnouncement('3'), false, "/P2PRoot"), VEL_S_OK);
  EXPECT_TRUE(_peer->Connected());
  ASSERT_EQ(FromSelf("AwarenessService", BobAnnouncement('3'), false, "/Force"), VEL_S_OK);
  EXPECT_FALSE(_peer->Connected());
  RemoveCallback(closing);
  EXPECT_EQ(reason, "name in use");
  EXPECT_EQ(VELP2PCloseReason(), nullptr);
  EXPECT_EQ(_peer->GetConnectedPeersDirectory(), nullptr);
  EXPECT_EQ(SentLines(), std::vector<std::string>{"/ AwarenessService 32" + Hex(_birth).substr(2)});
}

// Another process under a held name (told that the name is in use, and leaving), or a death whose process or
// endpoint is not the stored one's, removes nobody, neither the local peer nor another.
TEST_F(Awareness, ADeathFromAnotherProcessThanTheHoldersRemovesNobody) {
  Start();
  HearOwnBirth();
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('0'), true), VEL_S_OK);
  _log->Clear();
  ASSERT_EQ(FromPeer("alice", "AwarenessService", BobAnnouncement('2'), true), VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "AwarenessService",
                     Announcement('2', 778, {MulticastRecord(), UnicastRecord("127.0.0.2", 4000)}), true),
            VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "AwarenessService",
                     Announcement('2', 777, {MulticastRecord(), UnicastRecord("127.0.0.3", 4000)}), true),
            VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("alice"), 1);
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 1);
  EXPECT_EQ(StatusOf("bob"), "0 ");
  EXPECT_TRUE(_log->Lines().empty());
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('2'), true), VEL_S_OK);
  EXPECT_EQ(_log->Lines(), std::vector<std::string>{"VELP2PPeerDeathNotif bob"});
  EXPECT_EQ(StatusOf("bob"), "none");
}

TEST_F(Awareness, UnicastBirthOrUpdateIsRecordedFromAnyGroupWithoutAnswerUnlessUnderTheLocalName) {
  Start();
  ASSERT_EQ(FromPeer("alice", "AwarenessService", BobAnnouncement('1')), VEL_S_OK);
  EXPECT_EQ(StatusOf("alice"), "none");
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('0'), false, "/P2PRoot/Elsewhere"), VEL_S_OK);
  ASSERT_EQ(FromPeer("carol", "AwarenessService", BobAnnouncement('1'), false, "/P2PRoot/Elsewhere"),
            VEL_S_OK);
  EXPECT_EQ(_peer->GetConnectedPeersDirectory()->Locate("bob")->group, "/P2PRoot/Elsewhere");
  EXPECT_EQ(_log->Lines(),
            (std::vector<std::string>{"VELP2PPeerBirthNotif bob", "VELP2PPeerBirthNotif carol"}));
  EXPECT_EQ(_peer->GetSubGroups()->Size(), 0);
  EXPECT_TRUE(FakeSent().empty());
}

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

// The answers to the local birth (an update, a status of kind '1') may have left before the peer's latest
// change notice; arriving after it, they undo nothing. Only a restart (another process from the same
// endpoint) starts the peer's status afresh.
TEST_F(StatusService, NothingThatLeftBeforeTheLatestChangeNoticeUndoesIt) {
  Start();
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('0'), true), VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "StatusService", VELP2PWriteStatus('0', 3, "busy"), true), VEL_S_OK);
  _log->Clear();
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('1')), VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "StatusService", VELP2PWriteStatus('1', 6, "")), VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('0'), true), VEL_S_OK);  // heard again
  EXPECT_EQ(StatusOf("bob"), "3 busy");
  EXPECT_TRUE(_log->Lines().empty());

  // The change heard before the answer that makes the peer known is kept too.
  ASSERT_EQ(FromPeer("carol", "StatusService", VELP2PWriteStatus('0', 4, "away"), true), VEL_S_OK);
  ASSERT_EQ(FromPeer("carol", "AwarenessService", BobAnnouncement('1')), VEL_S_OK);
  ASSERT_EQ(FromPeer("carol", "StatusService", VELP2PWriteStatus('1', 6, "")), VEL_S_OK);
  EXPECT_EQ(StatusOf("carol"), "4 away");

  // Another process from bob's endpoint: bob restarted, and its answer counts again.
  ASSERT_EQ(FromPeer("bob", "AwarenessService",
                     Announcement('0', 778, {MulticastRecord(), UnicastRecord("127.0.0.2", 4000)}), true),
            VEL_S_OK);
  EXPECT_EQ(StatusOf("bob"), "0 busy");
  ASSERT_EQ(FromPeer("bob", "StatusService", VELP2PWriteStatus('1', 5, "")), VEL_S_OK);
  EXPECT_EQ(StatusOf("bob"), "5 busy");
  // Another process from another endpoint may as well be another user of the name: the status stays.
  ASSERT_EQ(FromPeer("bob", "AwarenessService",
                     Announcement('0', 779, {MulticastRecord(), UnicastRecord("127.0.0.9", 4000)}), true),
            VEL_S_OK);
  EXPECT_EQ(StatusOf("bob"), "5 busy");
}

TEST_F(ChatService, SendsTypeHeaderAndDataToTheTcpRecordAndNotifiesWhatComesFromAnyGroup) {
  Start();
  Connect("bob");
  _log->Clear();
  char data[] = {1, 2, 3, 4, 5};
  // Sending by name looks in the group directory, which the collaboration mode leaves empty.
  VELUnicodeString group("/"), bob("bob");
  EXPECT_EQ(_peer->SendToPeer(group, "VELP2PChatService", data, 1, bob), VEL_E_FAIL);
  ASSERT_EQ(_peer->SendP2PMessage("bob", 7, "abc", data, 5), VEL_S_OK);
  // 07 type, 03000000 header length, "abc", then the five data bytes: 13 bytes.
  EXPECT_EQ(SentLines(),
            std::vector<std::string>{"/ VELP2PChatService 07030000006162630102030405 to 08010fa07f000002"});
  ASSERT_EQ(FromPeer("bob", "VELP2PChatService", VELP2PWriteChat(200, "", "xy", 2), false, "/P2PRoot/Deep"),
            VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "VELP2PChatService", VELP2PWriteChat(1, "", nullptr, 0)), VEL_S_OK);
  EXPECT_EQ(_log->Lines(), (std::vector<std::string>{"VELP2PMessageReceivedNotif bob 200  7879",
                                                     "VELP2PMessageReceivedNotif bob 1  "}));
  EXPECT_EQ(_peer->GetSubGroups()->Size(), 0);
}

TEST_F(SessionService, OpeningAndClosingSendTheSameMessageToThePeerAndToItself) {
  Start();
  Connect("bobby");
  // Before the local peer has heard its own birth, only the other peer gets the message.
  EXPECT_EQ(_peer->OpenP2PSession("bobby", 3), VEL_E_FAIL);
  ASSERT_EQ(FakeSent().size(), 1u);
  FakeSent().clear();

  HearOwnBirth();
  ASSERT_EQ(_peer->OpenP2PSession("bobby", 3), VEL_S_OK);
  ASSERT_EQ(_peer->CloseP2PSession("bobby", 3), VEL_S_OK);
  // 30 opened (31 closed), 03000000 session type 3, 05000000 five name bytes, "bobby": 14 bytes.
  EXPECT_EQ(SentLines(),
            (std::vector<std::string>{
                "/ VELP2PSessionService 300300000005000000626f626279 to 08010fa07f000002",
                "/Force VELP2PSessionService 300300000005000000626f626279 to 080100007f000001",
                "/ VELP2PSessionService 310300000005000000626f626279 to 08010fa07f000002",
                "/Force VELP2PSessionService 310300000005000000626f626279 to 080100007f000001"}));
}
