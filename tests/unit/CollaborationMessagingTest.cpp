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
