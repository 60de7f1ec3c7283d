// Application messages and sessions: what the local peer sends for them, and what the chat and session
// services make of what they receive, malformed payloads included.
#include "unit/CollaborationTestSupport.h"

using collabtest::Bytes;
using collabtest::CollaborationTest;
using collabtest::Event;
using collabtest::PutInt32LE;

namespace {

class ChatService : public CollaborationTest {
 protected:
  // An application message: type, header length, header bytes, data.
  static std::vector<char> ChatPayload(unsigned char type, int32_t headerLength, const std::string& header,
                                       const std::string& data) {
    std::vector<char> bytes{static_cast<char>(type)};
    PutInt32LE(bytes, headerLength);
    bytes.insert(bytes.end(), header.begin(), header.end());
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
  }
};

class SessionService : public CollaborationTest {
 protected:
  // A session message: event, session type, name length, name bytes.
  static std::vector<char> SessionPayload(char event, int32_t sessionType, int32_t nameLength,
                                          const std::string& name) {
    std::vector<char> bytes{event};
    PutInt32LE(bytes, sessionType);
    PutInt32LE(bytes, nameLength);
    bytes.insert(bytes.end(), name.begin(), name.end());
    return bytes;
  }
  // The local peer knows itself and bobby, as after its own birth and bobby's answer.
  void StartWithBobby() {
    Start();
    HearOwnBirth();
    Connect("bobby");
    _log->Clear();
  }
};

std::string RecordHex(const VELP2PEndPointInfo& record) {
  const char* raw = reinterpret_cast<const char*>(&record);
  return Hex(std::vector<char>(raw, raw + sizeof(record)));
}

}  // namespace

TEST_F(ChatService, SendsTypeHeaderAndDataToAConnectedPeer) {
  Start();
  Connect("bob");
  char data[] = {1, 2, 3, 4, 5};
  ASSERT_EQ(_peer->SendP2PMessage("bob", 7, "abc", data, 5), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 1u);
  const SentMessage& sent = FakeSent()[0];
  EXPECT_FALSE(sent.toGroup);
  EXPECT_EQ(sent.group, "/");
  EXPECT_EQ(sent.service, "VELP2PChatService");
  // 07 type, 03000000 header length, "abc", then the five data bytes.
  EXPECT_EQ(Hex(sent.payload), "07030000006162630102030405");
  EXPECT_EQ(RecordHex(sent.remote), "08010fa07f000002");
  EXPECT_TRUE(_printed->Contains("VELP2PPeer - SendP2PMessage for service <abc>\n"));
}

TEST_F(ChatService, SendingReachesConnectedPeersOnly) {
  Start();
  Connect("bob");
  char data[] = {9};
  // Sending by name looks in the group directory, which the collaboration mode leaves empty.
  VELUnicodeString group("/"), bob("bob");
  EXPECT_EQ(_peer->SendToPeer(group, "VELP2PChatService", data, 1, bob), VEL_E_FAIL);
  EXPECT_EQ(_peer->SendP2PMessage("carol", 1, "h", data, 1), VEL_E_FAIL);
  EXPECT_EQ(_peer->SendP2PMessage("bob", 1, "h", data, 0), VEL_E_FAIL);
  EXPECT_EQ(_peer->SendP2PMessage("bob", 1, "h", nullptr, 1), VEL_E_FAIL);
  EXPECT_TRUE(FakeSent().empty());
  ASSERT_EQ(_peer->SendP2PMessage("bob", 1, "", data, 1), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 1u);
  EXPECT_EQ(Hex(FakeSent()[0].payload), "010000000009");
}

TEST_F(ChatService, NotifiesTypeHeaderAndData) {
  Start();
  ASSERT_EQ(FromPeer("bob", "VELP2PChatService", ChatPayload(7, 3, "abc", "\x01\x02\x03\x04\x05")), VEL_S_OK);
  ASSERT_EQ(_log->Count("VELP2PMessageReceivedNotif"), 1);
  const Event event = _log->Of("VELP2PMessageReceivedNotif")[0];
  EXPECT_EQ(event.peer, "bob");
  EXPECT_EQ(event.type, 7);
  EXPECT_EQ(event.header, "abc");
  EXPECT_EQ(Hex(event.data), "0102030405");
}

TEST_F(ChatService, EmptyHeaderAndEmptyData) {
  Start();
  ASSERT_EQ(FromPeer("bob", "VELP2PChatService", ChatPayload(200, 0, "", "xy")), VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "VELP2PChatService", ChatPayload(1, 0, "", "")), VEL_S_OK);
  std::vector<Event> events = _log->Of("VELP2PMessageReceivedNotif");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, 200);
  EXPECT_EQ(events[0].header, "");
  EXPECT_EQ(std::string(events[0].data.begin(), events[0].data.end()), "xy");
  EXPECT_EQ(events[1].header, "");
  EXPECT_TRUE(events[1].data.empty());
}

TEST_F(ChatService, BinaryDataAndNonAsciiHeaderArriveByteExact) {
  Start();
  Connect("bob");
  const std::string data("\0\xff\0zero\0", 8);
  ASSERT_EQ(_peer->SendP2PMessage("bob", 0x42, "Größe ✓", const_cast<char*>(data.data()), 8), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 1u);
  // The header length counts bytes: "Größe ✓" is 7 characters and 11 bytes.
  EXPECT_EQ(Hex(FakeSent()[0].payload).substr(0, 10), "420b000000");
  ASSERT_EQ(FromPeer("bob", "VELP2PChatService", FakeSent()[0].payload), VEL_S_OK);
  ASSERT_EQ(_log->Count("VELP2PMessageReceivedNotif"), 1);
  const Event event = _log->Of("VELP2PMessageReceivedNotif")[0];
  EXPECT_EQ(event.type, 0x42);
  EXPECT_EQ(event.header, "Größe ✓");
  EXPECT_EQ(std::string(event.data.begin(), event.data.end()), data);
}

TEST_F(ChatService, ReceivesFromAnyGroupWithoutLearningIt) {
  Start();
  ASSERT_EQ(FromPeer("bob", "VELP2PChatService", ChatPayload(1, 1, "h", "d"), false, "/P2PRoot/Below/Deep"),
            VEL_S_OK);
  EXPECT_EQ(_log->Count("VELP2PMessageReceivedNotif"), 1);
  EXPECT_EQ(_peer->GetSubGroups()->Size(), 0);
}

TEST_F(ChatService, RefusesPayloadsWhoseHeaderDoesNotFit) {
  Start();
  std::vector<char> full = ChatPayload(7, 3, "abc", "de");
  for (size_t size = 0; size < 5 + 3; ++size) {
    std::vector<char> cut(full.begin(), full.begin() + size);
    EXPECT_EQ(FromPeer("bob", "VELP2PChatService", cut), VEL_E_FAIL) << size;
  }
  EXPECT_EQ(FromPeer("bob", "VELP2PChatService", ChatPayload(7, -1, "abc", "de")), VEL_E_FAIL);
  EXPECT_EQ(FromPeer("bob", "VELP2PChatService", ChatPayload(7, INT32_MIN, "abc", "de")), VEL_E_FAIL);
  EXPECT_EQ(FromPeer("bob", "VELP2PChatService", ChatPayload(7, 6, "abc", "de")), VEL_E_FAIL);
  EXPECT_EQ(FromPeer("bob", "VELP2PChatService", ChatPayload(7, INT32_MAX, "abc", "de")), VEL_E_FAIL);
  EXPECT_EQ(_log->Count("VELP2PMessageReceivedNotif"), 0);
  // A header that takes the whole rest leaves no data, which is fine.
  EXPECT_EQ(FromPeer("bob", "VELP2PChatService", ChatPayload(7, 5, "abc", "de")), VEL_S_OK);
  EXPECT_EQ(_log->Of("VELP2PMessageReceivedNotif")[0].header, "abcde");
}

TEST_F(SessionService, OpeningSendsTheSameMessageToThePeerAndToItself) {
  StartWithBobby();
  ASSERT_EQ(_peer->OpenP2PSession("bobby", 3), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 2u);
  // 30 opened, 03000000 session type 3, 05000000 five name bytes, "bobby": 14 bytes.
  const std::string expected = "300300000005000000626f626279";
  EXPECT_EQ(Hex(FakeSent()[0].payload), expected);
  EXPECT_EQ(FakeSent()[0].group, "/");
  EXPECT_EQ(FakeSent()[0].service, "VELP2PSessionService");
  EXPECT_EQ(RecordHex(FakeSent()[0].remote), "08010fa07f000002");
  EXPECT_EQ(Hex(FakeSent()[1].payload), expected);
  EXPECT_EQ(FakeSent()[1].group, "/Force");
  EXPECT_EQ(FakeSent()[1].service, "VELP2PSessionService");
  EXPECT_EQ(RecordHex(FakeSent()[1].remote), "080100007f000001");

  FakeSent().clear();
  ASSERT_EQ(_peer->CloseP2PSession("bobby", 3), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 2u);
  EXPECT_EQ(FakeSent()[0].payload[0], '1');
}

TEST_F(SessionService, UnknownPeerOrUnknownSelf) {
  Start();
  Connect("bobby");
  EXPECT_EQ(_peer->OpenP2PSession("nobody", 3), VEL_E_FAIL);
  EXPECT_TRUE(FakeSent().empty());
  // Before the local peer has heard its own birth, only the other peer gets the message.
  EXPECT_EQ(_peer->OpenP2PSession("bobby", 3), VEL_E_FAIL);
  ASSERT_EQ(FakeSent().size(), 1u);
  EXPECT_EQ(FakeSent()[0].group, "/");
}

TEST_F(SessionService, EachSideNotifiesTheOtherParty) {
  StartWithBobby();
  ASSERT_EQ(_peer->OpenP2PSession("bobby", 3), VEL_S_OK);
  std::vector<char> message = FakeSent()[0].payload;
  // The local copy: sent by alice, naming bobby.
  ASSERT_EQ(Deliver("/Force", "VELP2PSessionService", "alice", message, false, UnicastRecord("127.0.0.1", 0)),
            VEL_S_OK);
  // What bobby sends when he opens a session with alice.
  ASSERT_EQ(FromPeer("bobby", "VELP2PSessionService", SessionPayload('1', 3, 5, "alice")), VEL_S_OK);
  std::vector<Event> events = _log->Of("VELP2PSessionNotif");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].peer, "bobby");
  EXPECT_EQ(events[0].sessionType, 3);
  EXPECT_EQ(events[0].eventType, '0');
  EXPECT_EQ(events[1].peer, "bobby");
  EXPECT_EQ(events[1].eventType, '1');
}

TEST_F(SessionService, PassesAnyEventByteAndAnyGroup) {
  Start();
  ASSERT_EQ(FromPeer("bobby", "VELP2PSessionService", SessionPayload(0x37, -9, 5, "alice"), false, "/x/y"),
            VEL_S_OK);
  std::vector<Event> events = _log->Of("VELP2PSessionNotif");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].eventType, 0x37);
  EXPECT_EQ(events[0].sessionType, -9);
}

TEST_F(SessionService, NonAsciiNamesAreCountedInBytes) {
  Start();
  HearOwnBirth();
  Connect("zoë");
  FakeSent().clear();
  ASSERT_EQ(_peer->OpenP2PSession("zoë", 1), VEL_S_OK);
  ASSERT_EQ(FakeSent().size(), 2u);
  // 30 opened, 01000000 type 1, 04000000 four bytes, "zo" then ë as c3 ab.
  EXPECT_EQ(Hex(FakeSent()[0].payload), "3001000000040000007a6fc3ab");
  ASSERT_EQ(Deliver("/Force", "VELP2PSessionService", "alice", FakeSent()[1].payload, false,
                    UnicastRecord("127.0.0.1", 0)),
            VEL_S_OK);
  ASSERT_EQ(_log->Count("VELP2PSessionNotif"), 1);
  EXPECT_EQ(_log->Of("VELP2PSessionNotif")[0].peer, "zoë");
}

TEST_F(SessionService, RefusesPayloadsWhoseNameDoesNotFit) {
  Start();
  std::vector<char> full = SessionPayload('0', 3, 5, "alice");
  for (size_t size = 0; size < full.size(); ++size) {
    std::vector<char> cut(full.begin(), full.begin() + size);
    EXPECT_EQ(FromPeer("bobby", "VELP2PSessionService", cut), VEL_E_FAIL) << size;
  }
  EXPECT_EQ(FromPeer("bobby", "VELP2PSessionService", SessionPayload('0', 3, 0, "")), VEL_E_FAIL);
  EXPECT_EQ(FromPeer("bobby", "VELP2PSessionService", SessionPayload('0', 3, 0, "alice")), VEL_E_FAIL);
  EXPECT_EQ(FromPeer("bobby", "VELP2PSessionService", SessionPayload('0', 3, -1, "alice")), VEL_E_FAIL);
  EXPECT_EQ(FromPeer("bobby", "VELP2PSessionService", SessionPayload('0', 3, 6, "alice")), VEL_E_FAIL);
  EXPECT_EQ(FromPeer("bobby", "VELP2PSessionService", SessionPayload('0', 3, INT32_MAX, "alice")),
            VEL_E_FAIL);
  EXPECT_EQ(_log->Count("VELP2PSessionNotif"), 0);
}
