// Application messages and sessions: what the local peer sends for them, and what the chat and session
// services make of what they receive.
#include "unit/ServiceTestSupport.h"

using namespace svctest;

namespace {

using ChatService = CollaborationTest;
using SessionService = CollaborationTest;

}  // namespace

TEST_F(ChatService, SendsTypeHeaderAndDataToConnectedPeersOnly) {
  Start();
  Connect("bob");
  char data[] = {1, 2, 3, 4, 5};
  // Sending by name looks in the group directory, which the collaboration mode leaves empty.
  VELUnicodeString group("/"), bob("bob");
  EXPECT_EQ(_peer->SendToPeer(group, "VELP2PChatService", data, 1, bob), VEL_E_FAIL);
  EXPECT_EQ(_peer->SendP2PMessage("carol", 1, "h", data, 1), VEL_E_FAIL);
  EXPECT_EQ(_peer->SendP2PMessage("bob", 1, "h", data, 0), VEL_E_FAIL);
  EXPECT_EQ(_peer->SendP2PMessage("bob", 1, "h", nullptr, 1), VEL_E_FAIL);
  EXPECT_TRUE(FakeSent().empty());

  ASSERT_EQ(_peer->SendP2PMessage("bob", 7, "abc", data, 5), VEL_S_OK);
  ASSERT_EQ(_peer->SendP2PMessage("bob", 1, "", data, 1), VEL_S_OK);
  // 07 type, 03000000 header length, "abc", then the five data bytes: 13 bytes.
  EXPECT_EQ(SentLines(),
            (std::vector<std::string>{"/ VELP2PChatService 07030000006162630102030405 to 08010fa07f000002",
                                      "/ VELP2PChatService 010000000001 to 08010fa07f000002"}));
}

TEST_F(ChatService, NotifiesTypeHeaderAndDataByteExactFromAnyGroup) {
  Start();
  Connect("bob");
  _log->Clear();
  char data[] = {0, -1, 0, 'z', 'e', 'r', 'o', 0};
  ASSERT_EQ(_peer->SendP2PMessage("bob", 0x42, "Größe ✓", data, 8), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 1u);
  ASSERT_EQ(FromPeer("bob", "VELP2PChatService", FakeSent()[0].payload), VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "VELP2PChatService", VELP2PWriteChat(200, "", "xy", 2), false, "/P2PRoot/Deep"),
            VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "VELP2PChatService", VELP2PWriteChat(1, "", nullptr, 0)), VEL_S_OK);
  EXPECT_EQ(_log->Lines(),
            (std::vector<std::string>{"VELP2PMessageReceivedNotif bob 66 Größe ✓ 00ff007a65726f00",
                                      "VELP2PMessageReceivedNotif bob 200  7879",
                                      "VELP2PMessageReceivedNotif bob 1  "}));
  EXPECT_EQ(_peer->GetSubGroups()->Size(), 0);
}

TEST_F(SessionService, OpeningAndClosingSendTheSameMessageToThePeerAndToItself) {
  Start();
  Connect("bobby");
  EXPECT_EQ(_peer->OpenP2PSession("nobody", 3), VEL_E_FAIL);
  EXPECT_TRUE(FakeSent().empty());
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

TEST_F(SessionService, EachSideNotifiesTheOtherPartyWithAnyEventFromAnyGroup) {
  Start();
  HearOwnBirth();
  Connect("bobby");
  Connect("zoë");
  ASSERT_EQ(_peer->OpenP2PSession("zoë", 1), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 2u);
  // Non-ASCII names are counted in bytes: 30 opened, 01000000 type 1, 04000000 four bytes, "zo", ë as c3 ab.
  EXPECT_EQ(Hex(FakeSent()[0].payload), "3001000000040000007a6fc3ab");
  _log->Clear();
  // The local copy, sent by alice, names the other party.
  ASSERT_EQ(FromSelf("VELP2PSessionService", FakeSent()[1].payload, false, "/Force"), VEL_S_OK);
  // What bobby sends when he opens or closes a session with alice; the event byte is passed as it is.
  ASSERT_EQ(FromPeer("bobby", "VELP2PSessionService", VELP2PWriteSession('1', 3, "alice")), VEL_S_OK);
  ASSERT_EQ(FromPeer("bobby", "VELP2PSessionService", VELP2PWriteSession(0x37, -9, "alice"), false, "/x/y"),
            VEL_S_OK);
  // Event bytes '0' and '1' are 48 and 49.
  EXPECT_EQ(_log->Lines(),
            (std::vector<std::string>{"VELP2PSessionNotif zoë 1 48", "VELP2PSessionNotif bobby 3 49",
                                      "VELP2PSessionNotif bobby -9 55"}));
}
