// The awareness service: the announcement it builds, and what each kind of announcement does to the
// directory of connected peers, the status store and the traffic.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>

#include "unit/CollaborationTestSupport.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"

using collabtest::Announcement;
using collabtest::CollaborationTest;
using collabtest::Event;

namespace {

class Awareness : public CollaborationTest {};

std::string Pid() {
  const uint32_t pid = static_cast<uint32_t>(getpid());
  return Hex({static_cast<char>(pid), static_cast<char>(pid >> 8), static_cast<char>(pid >> 16),
              static_cast<char>(pid >> 24)});
}

std::string RecordHex(const VELP2PEndPointInfo& record) {
  const char* raw = reinterpret_cast<const char*>(&record);
  return Hex(std::vector<char>(raw, raw + sizeof(record)));
}

// A newcomer "bob" with a multicast record and its TCP record at 127.0.0.2:4000.
std::vector<char> BobAnnouncement(char kind) {
  VELP2PEndPointInfo multicast{8, VELP2P_ENDPOINT_MULTICAST, htons(2678), 0};
  const unsigned char reversed[4] = {0x55, 0x01, 0x00, 0xE0};
  std::memcpy(&multicast.address, reversed, 4);
  return Announcement(kind, 777, {multicast, UnicastRecord("127.0.0.2", 4000)});
}

}  // namespace

TEST_F(Awareness, BirthAnnouncementDescribesEveryEndPoint) {
  Start();
  // 30               kind: birth
  // 00 02            two records
  // <pid>            process id, little-endian
  // 08 02 0a 76 55 01 00 e0   multicast record: port 2678, 224.0.1.85 with its bytes reversed
  // 08 01 00 00 7f 00 00 01   TCP record: port 0 (not yet chosen by the fake), 127.0.0.1
  EXPECT_EQ(Hex(_birth), "300002" + Pid() + "08020a76550100e0" + "080100007f000001");
  EXPECT_EQ(_birth.size(), 23u);
}

TEST_F(Awareness, PeerWithoutEndPointsAnnouncesNoRecordAndNeverRebuilds) {
  // A configuration that names no creatable endpoint leaves the peer without any.
  char path[] = "/tmp/velp2p-collab-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const char line[] = "NoSuchEndPoint|127.0.0.1|1\n";
  ASSERT_EQ(write(fd, line, sizeof(line) - 1), static_cast<ssize_t>(sizeof(line) - 1));
  close(fd);
  setenv("VELP2PConfig", path, 1);
  ASSERT_EQ(_peer->InitP2PForRTC(), VEL_S_OK);
  unsetenv("VELP2PConfig");
  std::remove(path);
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

  ASSERT_EQ(FakeSent().size(), 2u);
  const SentMessage& update = FakeSent()[0];
  EXPECT_FALSE(update.toGroup);
  EXPECT_EQ(update.group, "/P2PRoot");
  EXPECT_EQ(update.service, "AwarenessService");
  // The local announcement with kind "1", sent to bob's TCP record, not to its multicast one.
  EXPECT_EQ(Hex(update.payload), "31" + Hex(_birth).substr(2));
  EXPECT_EQ(RecordHex(update.remote), "08010fa07f000002");

  const SentMessage& status = FakeSent()[1];
  EXPECT_FALSE(status.toGroup);
  EXPECT_EQ(status.group, "/P2PRoot");
  EXPECT_EQ(status.service, "StatusService");
  // 31 kind update, 06000000 status 6, 01000000 one byte of description, 00 the empty description.
  EXPECT_EQ(Hex(status.payload), "31060000000100000000");
  EXPECT_EQ(RecordHex(status.remote), "08010fa07f000002");

  EXPECT_EQ(_peer->IsPeerConnected("bob"), 1);
  EXPECT_EQ(Status("bob"), 0);
  ASSERT_EQ(_log->Count("VELP2PPeerBirthNotif"), 1);
  EXPECT_EQ(_log->Of("VELP2PPeerBirthNotif")[0].peer, "bob");
  EXPECT_TRUE(_printed->Contains("received message <777>  \nPEER_BIRTH \nsending PEER_UPDATE \n"));
}

TEST_F(Awareness, AnswerCarriesTheCurrentStatusAndDescription) {
  Start();
  HearOwnBirth();
  // The local status changes when its own change comes back.
  ASSERT_EQ(_peer->ChangeP2PStatus(2, "in a meeting"), VEL_S_OK);
  std::vector<char> change = FakeSent().back().payload;
  ASSERT_EQ(Deliver("/", "StatusService", "alice", change, true, UnicastRecord("127.0.0.1", 0)), VEL_S_OK);
  FakeSent().clear();
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('0'), true), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 2u);
  EXPECT_EQ(FakeSent()[1].payload, collabtest::StatusPayload('1', 2, "in a meeting"));
}

TEST_F(Awareness, BirthReceivedPointToPointIsRecordedWithoutAnswer) {
  Start();
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('0'), false), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 1);
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 1);
}

TEST_F(Awareness, OwnBirthHeardBackIsRecordedWithoutAnswer) {
  Start();
  HearOwnBirth();
  EXPECT_TRUE(FakeSent().empty());
  EXPECT_EQ(_peer->IsPeerConnected("alice"), 1);
  EXPECT_EQ(Status("alice"), 0);
  ASSERT_EQ(_log->Count("VELP2PPeerBirthNotif"), 1);
  EXPECT_EQ(_log->Of("VELP2PPeerBirthNotif")[0].peer, "alice");
}

TEST_F(Awareness, BirthUnderTheLocalNameFromAnotherProcessIsToldTheNameIsTaken) {
  Start();
  HearOwnBirth();
  _log->Clear();
  ASSERT_EQ(FromPeer("alice", "AwarenessService", BobAnnouncement('0'), true), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 2u);
  EXPECT_EQ(FakeSent()[0].payload[0], '3');
  EXPECT_EQ(FakeSent()[0].service, "AwarenessService");
  EXPECT_EQ(FakeSent()[1].service, "StatusService");
  EXPECT_TRUE(_printed->Contains("sending PEER_ALREADY_USED \n"));
  // The name is present already: the newcomer's record is discarded, nothing is fired.
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 0);
  int bucket = 1, position = 0;
  VELP2PPeerInfo* kept = _peer->GetConnectedPeersDirectory()->Next(bucket, position);
  ASSERT_NE(kept, nullptr);
  ASSERT_NE(kept->GetEndPointsInfoList(), nullptr);
  EXPECT_EQ(kept->GetEndPointsInfoList()->Size(), 2);
  EXPECT_EQ((*kept->GetEndPointsInfoList())[2]->address, UnicastRecord("127.0.0.1", 0).address);
}

TEST_F(Awareness, SecondBirthFiresNothingButResetsTheStatus) {
  Start();
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('1')), VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "StatusService", collabtest::StatusPayload('0', 4, "away")), VEL_S_OK);
  ASSERT_EQ(Status("bob"), 4);
  _log->Clear();
  ASSERT_EQ(FromPeer("bob", "AwarenessService", Announcement('1', 999, {UnicastRecord("127.0.0.9", 9)})),
            VEL_S_OK);
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 0);
  EXPECT_EQ(Status("bob"), 0);
  EXPECT_EQ(Desc("bob"), "away");
  // The first record stays.
  VELP2PPeerInfo* bob = _peer->GetConnectedPeersDirectory()->Locate("bob");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(bob->GetEndPointsInfoList()->Size(), 2);
}

TEST_F(Awareness, StatusThatOvertookItsAnnouncementIsKept) {
  Start();
  ASSERT_EQ(FromPeer("bob", "StatusService", collabtest::StatusPayload('1', 6, "here")), VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('1')), VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 1);
  EXPECT_EQ(Status("bob"), 6);
  EXPECT_EQ(Desc("bob"), "here");
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 1);
}

TEST_F(Awareness, UpdateRecordsTheSenderUnlessItCarriesTheLocalName) {
  Start();
  ASSERT_EQ(FromPeer("alice", "AwarenessService", BobAnnouncement('1')), VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("alice"), 0);
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 0);
  EXPECT_EQ(Status("alice"), -1);

  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('1'), false, "/P2PRoot/Elsewhere"), VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 1);
  EXPECT_EQ(_peer->GetConnectedPeersDirectory()->Locate("bob")->group, "/P2PRoot/Elsewhere");
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 1);
  EXPECT_TRUE(FakeSent().empty());
}

TEST_F(Awareness, DeathRemovesThePeerAndItsStatus) {
  Start();
  Connect("bob");
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('2'), true), VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 0);
  EXPECT_EQ(Status("bob"), -1);
  ASSERT_EQ(_log->Count("VELP2PPeerDeathNotif"), 1);
  EXPECT_EQ(_log->Of("VELP2PPeerDeathNotif")[0].peer, "bob");
  EXPECT_TRUE(_printed->Contains("PEER_DEATH \n"));
}

TEST_F(Awareness, DeathOfAnUnknownPeerChangesNothing) {
  Start();
  Connect("bob");
  _log->Clear();
  ASSERT_EQ(FromPeer("carol", "AwarenessService", BobAnnouncement('2'), true), VEL_S_OK);
  EXPECT_EQ(_log->Count("VELP2PPeerDeathNotif"), 0);
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 1);
  EXPECT_EQ(Status("bob"), 0);
}

TEST_F(Awareness, NameAlreadyUsedDisconnectsAfterAnnouncingDeath) {
  Start();
  HearOwnBirth();
  ASSERT_EQ(FromPeer("alice", "AwarenessService", BobAnnouncement('3'), false, "/Force"), VEL_S_OK);
  EXPECT_EQ(VELP2PPeer::IsConnected(), 0);
  EXPECT_EQ(_peer->GetConnectedPeersDirectory(), nullptr);
  ASSERT_EQ(FakeSent().size(), 1u);
  EXPECT_TRUE(FakeSent()[0].toGroup);
  EXPECT_EQ(FakeSent()[0].group, "/");
  EXPECT_EQ(Hex(FakeSent()[0].payload), "32" + Hex(_birth).substr(2));
  EXPECT_TRUE(_printed->Contains("PEER_ALREADY_USED \n"));
}

TEST_F(Awareness, DisconnectAnnouncesDeath) {
  Start();
  ASSERT_EQ(_peer->Disconnect(), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 1u);
  EXPECT_TRUE(FakeSent()[0].toGroup);
  EXPECT_EQ(FakeSent()[0].service, "AwarenessService");
  EXPECT_EQ(Hex(FakeSent()[0].payload), "32" + Hex(_birth).substr(2));
}

TEST_F(Awareness, UnknownKindIsAcceptedAndIgnored) {
  Start();
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('7'), true), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 0);
}

TEST_F(Awareness, RefusesAnnouncementsWhoseBodyDoesNotFit) {
  Start();
  std::vector<char> full = BobAnnouncement('0');
  // Every cut of a birth heard by multicast: shorter than the fixed part, or a record missing its end.
  for (size_t size = 0; size < full.size(); ++size) {
    std::vector<char> cut(full.begin(), full.begin() + size);
    EXPECT_EQ(FromPeer("bob", "AwarenessService", cut, true), VEL_E_FAIL) << size;
  }
  // A record announcing itself shorter than its fields.
  std::vector<char> shortRecord = full;
  shortRecord[7] = 4;
  EXPECT_EQ(FromPeer("bob", "AwarenessService", shortRecord, true), VEL_E_FAIL);
  // More records announced than sent.
  std::vector<char> overcounted = full;
  overcounted[1] = static_cast<char>(0xFF);
  EXPECT_EQ(FromPeer("bob", "AwarenessService", overcounted, false), VEL_E_FAIL);
  EXPECT_EQ(FromPeer("bob", "AwarenessService", std::vector<char>(full.begin(), full.begin() + 6), false),
            VEL_E_FAIL);

  EXPECT_TRUE(FakeSent().empty());
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 0);
  EXPECT_EQ(_log->Count("VELP2PPeerBirthNotif"), 0);
}

TEST_F(Awareness, ReceivesFromEveryGroup) {
  Start();
  ASSERT_EQ(FromPeer("bob", "AwarenessService", BobAnnouncement('1'), false, "/Unrelated/Branch"), VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 1);
  EXPECT_TRUE(_peer->GetSubGroups()->Size() == 0);
}
