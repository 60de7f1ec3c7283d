// The awareness service: the announcement it builds, and what each kind of announcement does to the
// directory of connected peers, the status store and the traffic.
#include <arpa/inet.h>

#include <cstring>

#include "unit/ServiceTestSupport.h"

using namespace svctest;

namespace {

using Awareness = CollaborationTest;

std::string Pid() {
  const uint32_t pid = static_cast<uint32_t>(getpid());
  return Hex({static_cast<char>(pid), static_cast<char>(pid >> 8), static_cast<char>(pid >> 16),
              static_cast<char>(pid >> 24)});
}

// A newcomer "bob" with a multicast record and its TCP record at 127.0.0.2:4000.
std::vector<char> BobAnnouncement(char kind) {
  VELP2PEndPointInfo multicast{8, VELP2P_ENDPOINT_MULTICAST, htons(2678), 0};
  const unsigned char reversed[4] = {0x55, 0x01, 0x00, 0xE0};
  std::memcpy(&multicast.address, reversed, 4);
  return Announcement(kind, 777, {multicast, UnicastRecord("127.0.0.2", 4000)});
}

}  // namespace

TEST_F(Awareness, BirthAndDeathAnnouncementsDescribeEveryEndPoint) {
  Start();
  // 30               kind: birth
  // 00 02            two records
  // <pid>            process id, little-endian
  // 08 02 0a 76 55 01 00 e0   multicast record: port 2678, 224.0.1.85 with its bytes reversed
  // 08 01 00 00 7f 00 00 01   TCP record: port 0 (not yet chosen by the fake), 127.0.0.1
  EXPECT_EQ(Hex(_birth), "300002" + Pid() + "08020a76550100e0" + "080100007f000001");
  EXPECT_EQ(_birth.size(), 23u);
  ASSERT_EQ(_peer->Disconnect(), VEL_S_OK);
  EXPECT_EQ(SentLines(), std::vector<std::string>{"/ AwarenessService 32" + Hex(_birth).substr(2)});
}

TEST_F(Awareness, PeerWithoutEndPointsAnnouncesNoRecordAndNeverRebuilds) {
  UseConfig("FakeRecordlessEndPoint|127.0.0.1|1\n");
  ASSERT_EQ(_peer->InitP2PForRTC(), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  // An endpoint added later changes nothing: the answer to a newcomer is the 7-byte announcement.
  VELP2PEndPoint* tcp = VELP2PPeerTestAccess::RegisterEndPoint(_peer, "VELP2PTCPEndPoint");
  ASSERT_NE(tcp, nullptr);
  ASSERT_EQ(tcp->Initialize("127.0.0.1", 5000), VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('0'), true), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 2u);
  EXPECT_EQ(Hex(FakeSent()[0].payload), "310000" + Pid());
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
  EXPECT_TRUE(Printed("received message <777>  \nPEER_BIRTH \nsending PEER_UPDATE \n"));

  // The answer carries the current status, once the local change has come back.
  ASSERT_EQ(_peer->ChangeP2PStatus(2, "in a meeting"), VEL_S_OK);
  ASSERT_EQ(FromSelf("StatusService", FakeSent().back().payload, true, "/"), VEL_S_OK);
  FakeSent().clear();
  ASSERT_EQ(FromPeer("carol", "AwarenessService", BobAnnouncement('0'), true), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 2u);
  EXPECT_EQ(FakeSent()[1].payload, StatusPayload('1', 2, "in a meeting"));
}

TEST_F(Awareness, BirthByUnicastOrItsOwnIsRecordedWithoutAnswer) {
  Start();
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('0'), false), VEL_S_OK);
  HearOwnBirth();
  EXPECT_TRUE(FakeSent().empty());
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 1);
  EXPECT_EQ(_peer->IsPeerConnected("alice"), 1);
  EXPECT_EQ(StatusOf("alice"), "0 ");
  EXPECT_EQ(_log->Lines(),
            (std::vector<std::string>{"VELP2PPeerBirthNotif bob", "VELP2PPeerBirthNotif alice"}));
}

TEST_F(Awareness, BirthUnderTheLocalNameFromAnotherProcessIsToldTheNameIsTaken) {
  Start();
  HearOwnBirth();
  _log->Clear();
  ASSERT_EQ(FromPeer("alice", "AwarenessService", BobAnnouncement('0'), true), VEL_S_OK);
  ASSERT_EQ(SentLines().size(), 2u);
  EXPECT_EQ(SentLines()[0].substr(0, 28), "/P2PRoot AwarenessService 33");
  EXPECT_EQ(SentLines()[1].substr(0, 23), "/P2PRoot StatusService ");
  EXPECT_TRUE(Printed("sending PEER_ALREADY_USED \n"));
  // The name is present already: the newcomer's record is discarded, nothing is fired.
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 0);
  VELP2PPeerInfo* kept = _peer->GetConnectedPeersDirectory()->Locate("alice");
  ASSERT_NE(kept, nullptr);
  ASSERT_EQ(kept->GetEndPointsInfoList()->Size(), 2);
  EXPECT_EQ((*kept->GetEndPointsInfoList())[2]->address, UnicastRecord("127.0.0.1", 0).address);
}

TEST_F(Awareness, UpdateKeepsAStatusThatOvertookItAndARepeatResetsIt) {
  Start();
  ASSERT_EQ(FromPeer("bob", "StatusService", StatusPayload('1', 6, "here")), VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('1')), VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 1);
  EXPECT_EQ(StatusOf("bob"), "6 here");
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 1);
  // A second announcement fires nothing and keeps the first record, but resets the status.
  ASSERT_EQ(FromPeer("bob", "AwarenessService", Announcement('1', 999, {UnicastRecord("127.0.0.9", 9)})),
            VEL_S_OK);
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 1);
  EXPECT_EQ(StatusOf("bob"), "0 here");
  EXPECT_EQ(_peer->GetConnectedPeersDirectory()->Locate("bob")->GetEndPointsInfoList()->Size(), 2);
}

TEST_F(Awareness, UpdateRecordsTheSenderFromAnyGroupUnlessItCarriesTheLocalName) {
  Start();
  ASSERT_EQ(FromPeer("alice", "AwarenessService", BobAnnouncement('1')), VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("alice"), 0);
  EXPECT_EQ(StatusOf("alice"), "none");
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('1'), false, "/P2PRoot/Elsewhere"), VEL_S_OK);
  EXPECT_EQ(_peer->GetConnectedPeersDirectory()->Locate("bob")->group, "/P2PRoot/Elsewhere");
  EXPECT_EQ(_log->Lines(), std::vector<std::string>{"VELP2PPeerBirthNotif bob"});
  EXPECT_EQ(_peer->GetSubGroups()->Size(), 0);
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(Awareness, DeathRemovesAKnownPeerAndItsStatusOtherKindsChangeNothing) {
  Start();
  Connect("bob");
  _log->Clear();
  ASSERT_EQ(FromPeer("carol", "AwarenessService", BobAnnouncement('2'), true), VEL_S_OK);
  ASSERT_EQ(FromPeer("erin", "AwarenessService", BobAnnouncement('7'), true), VEL_S_OK);
  EXPECT_TRUE(_log->Lines().empty());
  EXPECT_EQ(_peer->IsPeerConnected("erin"), 0);
  EXPECT_EQ(StatusOf("bob"), "0 ");
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('2'), true), VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 0);
  EXPECT_EQ(StatusOf("bob"), "none");
  EXPECT_EQ(_log->Lines(), std::vector<std::string>{"VELP2PPeerDeathNotif bob"});
  EXPECT_TRUE(Printed("PEER_DEATH \n"));
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(Awareness, NameAlreadyUsedDisconnectsAfterAnnouncingDeath) {
  Start();
  HearOwnBirth();
  ASSERT_EQ(FromSelf("AwarenessService", BobAnnouncement('3'), false, "/Force"), VEL_S_OK);
  EXPECT_EQ(VELP2PPeer::IsConnected(), 0);
  EXPECT_EQ(_peer->GetConnectedPeersDirectory(), nullptr);
  EXPECT_EQ(SentLines(), std::vector<std::string>{"/ AwarenessService 32" + Hex(_birth).substr(2)});
  EXPECT_TRUE(Printed("PEER_ALREADY_USED \n"));
}

TEST_F(Awareness, RefusesAnnouncementsWhoseBodyDoesNotFit) {
  Start();
  const std::vector<char> full = BobAnnouncement('0');
  // Every cut of a birth heard by multicast: shorter than the fixed part, or a record missing its end.
  for (const std::vector<char>& cut : Cuts(full))
    EXPECT_EQ(FromPeer("bob", "AwarenessService", cut, true), VEL_E_FAIL) << cut.size();
  std::vector<char> shortRecord = full;
  shortRecord[7] = 4;  // a record announcing itself shorter than its fields
  std::vector<char> overcounted = full;
  overcounted[1] = static_cast<char>(0xFF);  // more records announced than sent
  for (const std::vector<char>& body : {shortRecord, overcounted}) {
    for (bool multicast : {true, false})
      EXPECT_EQ(FromPeer("bob", "AwarenessService", body, multicast), VEL_E_FAIL) << Hex(body);
  }
  EXPECT_TRUE(FakeSent().empty());
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 0);
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 0);
}
