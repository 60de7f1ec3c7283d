// The awareness service: the announcement it builds, and what each kind of announcement does to the
// directory of connected peers, the status store and the traffic.
#include <arpa/inet.h>

#include <cstring>

#include "unit/ServiceTestSupport.h"

using namespace svctest;

namespace {

using Awareness = CollaborationTest;

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
  // The name is present already: the newcomer's record is discarded, nothing is fired.
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 0);
  VELP2PPeerInfo* kept = _peer->GetConnectedPeersDirectory()->Locate("alice");
  ASSERT_NE(kept, nullptr);
  ASSERT_EQ(kept->GetEndPointsInfoList()->Size(), 2);
  EXPECT_EQ((*kept->GetEndPointsInfoList())[2]->address, UnicastRecord("127.0.0.1", 0).address);
}

TEST_F(Awareness, NameAlreadyUsedDisconnectsOnlyWhenAnsweredPointToPointUnderTheName) {
  Start();
  HearOwnBirth();
  // A forgery under another name; one by multicast is the process tests'.
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('3'), false, "/Force"), VEL_S_OK);
  EXPECT_EQ(VELP2PPeer::IsConnected(), 1);
  ASSERT_EQ(FromSelf("AwarenessService", BobAnnouncement('3'), false, "/Force"), VEL_S_OK);
  EXPECT_EQ(VELP2PPeer::IsConnected(), 0);
  EXPECT_EQ(_peer->GetConnectedPeersDirectory(), nullptr);
  EXPECT_EQ(SentLines(), std::vector<std::string>{"/ AwarenessService 32" + Hex(_birth).substr(2)});
}
