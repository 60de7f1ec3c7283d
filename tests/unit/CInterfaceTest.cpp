// The C interface over socket-free endpoints: options refused with their reason, events that outlive the
// notifications they copy, the bounded queue and its descriptor, ownership of what it gives; then nodes of
// one process talking over the namespace's loopback.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capi/VELP2PCNode.h"
#include "support/NetSandbox.h"
#include "unit/ServiceTestSupport.h"
#include "velp2p/VELLastError.h"
#include "velp2p/velp2p.h"

using namespace svctest;

namespace {

class CInterface : public CollaborationTest {
 protected:
  void TearDown() override {
    _target = nullptr;
    velp2p_node_destroy(&_c);
    unsetenv("VELP2PLiveness");
    CollaborationTest::TearDown();
  }
  void StartNode(const std::vector<std::pair<const char*, const char*>>& options = {}) {
    _c = velp2p_node_new();
    ASSERT_NE(_c, nullptr);
    for (const auto& [option, value] : options)
      ASSERT_EQ(velp2p_node_set(_c, option, value), VELP2P_OK) << option;
    ASSERT_EQ(velp2p_node_start(_c), VELP2P_OK) << velp2p_strerror(velp2p_last_error());
    _target = &Node(_c);
    _birth = FakeSent().at(0).payload;
    Forget();
  }
  // The kinds of the events queued, with their peer, until none is left.
  std::vector<std::string> Drain() {
    std::vector<std::string> kinds;
    while (velp2p_event_t* event = velp2p_node_recv(_c, 0)) {
      kinds.push_back(std::string(velp2p_event_kind(event)) + " " + velp2p_event_peer(event));
      velp2p_event_destroy(&event);
    }
    return kinds;
  }
  static VELP2PNode& Node(velp2p_node_t* node) { return static_cast<VELP2PCNode*>(node)->Node(); }
  bool Readable() {
    pollfd descriptor = {velp2p_node_fd(_c), POLLIN, 0};
    return poll(&descriptor, 1, 0) == 1;
  }

  velp2p_node_t* _c = nullptr;
};

TEST_F(CInterface, MisconfigurationsFailTheStartWithTheirReason) {
  TempFile good("VELP2PTCPEndPoint|127.0.0.1|0\n");
  struct Case {
    std::vector<std::pair<const char*, std::string>> options;
    const char* variable;  // VELP2PLiveness for the start
    int code;              // of the start, or of the first option refused
    std::string reason;    // the start of the reason's text
  } cases[] = {
      {{{"config", "/nonexistent/velp2p.cfg"}},
       nullptr,
       VELP2P_E_BAD_CONFIGURATION,
       "bad configuration: /nonexistent/velp2p.cfg: cannot read the file (No such file or directory)"},
      {{{"endpoints", "VELP2PTCPEndPoint|127.0.0.1|2678O\n"}},
       nullptr,
       VELP2P_E_BAD_CONFIGURATION,
       "bad configuration: endpoints:1: the port 2678O is not a number from 0 to 65535"},
      {{{"endpoints", "VELP2PMultiCastEndPoint|224.0.1.85|0\nVELP2PTCPEndPoint||0\n"}},
       nullptr,
       VELP2P_E_BAD_CONFIGURATION,
       "bad configuration: endpoints:2: the address is empty"},
      {{{"endpoints", "VELP2PTcpEndPoint|127.0.0.1|0"}},
       nullptr,
       VELP2P_E_BAD_CONFIGURATION,
       "bad configuration: endpoints:1: no endpoint class VELP2PTcpEndPoint"},
      {{{"mode", "rtc"}}, nullptr, VELP2P_E_BAD_OPTION, "bad option: mode \"rtc\" is neither"},
      {{{"liveness", "10s"}}, nullptr, VELP2P_E_BAD_OPTION, "bad option: liveness \"10s\" is not a number"},
      {{{"config", good.Path()}}, "-1", VELP2P_E_BAD_OPTION, "bad option: liveness \"-1\" is not"},
      {{{"queue", "0"}}, nullptr, VELP2P_E_BAD_OPTION, "bad option: queue \"0\" is not"},
      {{{"announce", "off"}}, nullptr, VELP2P_E_BAD_OPTION, "bad option: announce \"off\" is neither"},
      {{{"colour", "blue"}}, nullptr, VELP2P_E_BAD_OPTION, "bad option: no option \"colour\""},
      // Accepted now: blanks around the bars, an unterminated last line.
      {{{"endpoints", " VELP2PMultiCastEndPoint | 224.0.1.85 | 4000 \nVELP2PTCPEndPoint|127.0.0.1|0"}},
       nullptr,
       VELP2P_OK,
       ""},
  };
  for (const Case& c : cases) {
    FakeInitialized().clear();
    if (c.variable)
      setenv("VELP2PLiveness", c.variable, 1);
    velp2p_node_t* node = velp2p_node_new();
    int code = VELP2P_OK;
    for (const auto& [option, value] : c.options) {
      if ((code = velp2p_node_set(node, option, value.c_str())) != VELP2P_OK)
        break;
    }
    if (code == VELP2P_OK)
      code = velp2p_node_start(node);
    EXPECT_EQ(code, c.code) << c.reason;
    EXPECT_EQ(velp2p_last_error(), code);
    EXPECT_EQ(std::string(velp2p_strerror(code)).rfind(c.reason, 0), 0u) << velp2p_strerror(code);
    // Nothing is opened before the options are known to be usable.
    EXPECT_EQ(FakeInitialized().size(), code == VELP2P_OK ? 2u : 0u);
    EXPECT_EQ(Node(node).Peer().Connected(), code == VELP2P_OK);
    velp2p_node_destroy(&node);
    EXPECT_EQ(node, nullptr);
    unsetenv("VELP2PLiveness");
  }
  EXPECT_EQ(FakeInitialized(),
            (std::vector<std::string>{"multicast 224.0.1.85 4000", "unicast 127.0.0.1 0"}));

  // The C++ interface reads the same options from the environment and refuses them alike.
  setenv("VELP2PConfig", "/nonexistent/velp2p.cfg", 1);
  EXPECT_EQ(VELP2PPeer::GetLocalPeer()->InitP2PForRTC(), VEL_E_FAIL);
  EXPECT_EQ(VELP2PGetLastErrorCode(), VELP2P_ERROR_BAD_CONFIGURATION);
  unsetenv("VELP2PConfig");
}

TEST_F(CInterface, EventsCopyWhatTheyCarryAndOutliveTheNode) {
  StartNode({{"diagnostics", "events"}});
  EXPECT_STREQ(velp2p_node_name(_c), "alice");
  EXPECT_EQ(Drain(), (std::vector<std::string>{"group alice", "started alice"}));
  EXPECT_FALSE(Readable());

  HearOwnBirth();
  Connect("bob");
  ASSERT_EQ(FromPeer("bob", "StatusService", VELP2PWriteStatus('1', 5, "in a meeting")), VEL_S_OK);
  ASSERT_EQ(FromPeer("bob", "VELP2PChatService", VELP2PWriteChat(200, "hdr", "x\0y", 3)), VEL_S_OK);
  EXPECT_TRUE(Readable());
  EXPECT_EQ(velp2p_node_timeout_ms(_c), 0);

  std::vector<velp2p_event_t*> events;
  std::vector<std::string> kinds;
  int diagnostics = 0;
  while (velp2p_event_t* event = velp2p_node_recv(_c, 0)) {
    if (std::string(velp2p_event_kind(event)) == "diagnostic") {
      ++diagnostics;
      velp2p_event_destroy(&event);
      continue;
    }
    kinds.push_back(std::string(velp2p_event_kind(event)) + " " + velp2p_event_peer(event));
    events.push_back(event);
  }
  EXPECT_EQ(velp2p_last_error(), VELP2P_OK);  // a time-out is no failure
  EXPECT_GT(diagnostics, 0);
  ASSERT_EQ(kinds, (std::vector<std::string>{"born alice", "born bob", "status bob", "message bob"}));
  EXPECT_EQ(velp2p_event_status(events[2]), 5);
  EXPECT_STREQ(velp2p_event_text(events[2]), "in a meeting");

  char** peers = velp2p_node_peers(_c);
  ASSERT_NE(peers, nullptr);
  std::vector<std::string> names;
  for (char** name = peers; *name; ++name)
    names.push_back(*name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"alice", "bob"}));
  velp2p_strv_free(&peers);
  EXPECT_EQ(peers, nullptr);
  int32_t status = 0;
  char* text = nullptr;
  ASSERT_EQ(velp2p_node_peer_status(_c, "bob", &status, &text), VELP2P_OK);
  EXPECT_EQ(std::string(text) + " " + std::to_string(status), "in a meeting 5");
  velp2p_str_free(&text);
  EXPECT_EQ(velp2p_node_peer_status(_c, "carol", &status, nullptr), VELP2P_E_NO_STATUS);

  // Sends: refused at once with the reason of that call, or queued for the endpoint.
  EXPECT_EQ(velp2p_node_send(_c, "carol", 1, "h", "x", 1), VELP2P_E_UNKNOWN_PEER);
  EXPECT_STREQ(velp2p_strerror(VELP2P_E_UNKNOWN_PEER), "unknown peer: carol");
  EXPECT_EQ(velp2p_node_send(_c, "bob", 256, "h", "x", 1), VELP2P_E_BAD_ARGUMENT);
  EXPECT_EQ(velp2p_node_send(_c, "bob", 1, "h", "x", 0), VELP2P_E_EMPTY_DATA);
  EXPECT_EQ(velp2p_node_send(_c, "bob", 7, nullptr, "abc", 3), VELP2P_OK);
  EXPECT_EQ(velp2p_last_error(), VELP2P_OK);
  ASSERT_EQ(FakeSent().size(), 1u);
  EXPECT_EQ(FakeSent()[0].payload, VELP2PWriteChat(7, "", "abc", 3));
  EXPECT_EQ(velp2p_node_set(_c, "login", "late"), VELP2P_E_ALREADY_STARTED);

  // A second node is a peer of its own.
  velp2p_node_t* second = velp2p_node_new();
  EXPECT_EQ(velp2p_node_start(second), VELP2P_OK);
  EXPECT_NE(&Node(second).Peer(), &Node(_c).Peer());
  velp2p_node_destroy(&second);
  EXPECT_TRUE(Node(_c).Peer().Connected());

  velp2p_node_destroy(&_c);
  // The message received before, with its bytes, still belongs to the caller.
  EXPECT_STREQ(velp2p_event_kind(events[3]), "message");
  EXPECT_STREQ(velp2p_event_peer(events[3]), "bob");
  EXPECT_EQ(velp2p_event_type(events[3]), 200);
  EXPECT_STREQ(velp2p_event_header(events[3]), "hdr");
  size_t size = 0;
  const void* data = velp2p_event_data(events[3], &size);
  EXPECT_EQ(std::string(static_cast<const char*>(data), size), std::string("x\0y", 3));
  EXPECT_EQ(velp2p_event_data(events[0], &size), nullptr);
  EXPECT_EQ(size, 0u);
  for (velp2p_event_t*& event : events) {
    velp2p_event_destroy(&event);
    EXPECT_EQ(event, nullptr);
  }
  EXPECT_EQ(velp2p_node_send(nullptr, "bob", 1, "", "x", 1), VELP2P_E_BAD_ARGUMENT);
}

TEST_F(CInterface, AFullQueueDropsTheOldestAndSaysHowManyAndNothingIsPrinted) {
  testing::internal::CaptureStdout();
  StartNode({{"queue", "3"}});
  HearOwnBirth();
  Connect("bob");
  Drain();
  const uint64_t before = velp2p_node_dropped(_c);
  for (char i = 0; i < 7; ++i)
    ASSERT_EQ(FromPeer("bob", "VELP2PChatService", VELP2PWriteChat(1, "", &i, 1)), VEL_S_OK);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(Readable());
  velp2p_event_t* event = velp2p_node_recv(_c, 0);
  EXPECT_STREQ(velp2p_event_kind(event), "dropped");
  EXPECT_EQ(velp2p_event_status(event), 4);
  velp2p_event_destroy(&event);
  // The newest three are kept, in order.
  for (char i = 4; i < 7; ++i) {
    event = velp2p_node_recv(_c, 0);
    ASSERT_STREQ(velp2p_event_kind(event), "message");
    EXPECT_EQ(*static_cast<const char*>(velp2p_event_data(event, nullptr)), i);
    velp2p_event_destroy(&event);
  }
  EXPECT_EQ(velp2p_node_recv(_c, 0), nullptr);
  EXPECT_EQ(velp2p_node_dropped(_c) - before, 4u);
  EXPECT_FALSE(Readable());
}

}  // namespace

namespace {

// A started node of the collaboration mode on the namespace's loopback, its multicast port the test's own.
velp2p_node_t* Started(const char* login, unsigned short port) {
  velp2p_node_t* node = velp2p_node_new();
  const std::string endpoints =
      "VELP2PMultiCastEndPoint|224.0.1.85|" + std::to_string(port) + "\nVELP2PTCPEndPoint|127.0.0.1|0\n";
  if (!node || velp2p_node_set(node, "login", login) != VELP2P_OK ||
      velp2p_node_set(node, "endpoints", endpoints.c_str()) != VELP2P_OK ||
      velp2p_node_start(node) != VELP2P_OK)
    velp2p_node_destroy(&node);
  return node;
}

// Receives from every node in turn until one of them gives an event that match accepts ("<node> <kind>
// <peer> <text>", the node counted from 0); false at the deadline.
bool ReceiveUntil(const std::vector<velp2p_node_t*>& nodes,
                  const std::function<bool(const std::string&)>& match) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    for (size_t i = 0; i < nodes.size(); ++i) {
      velp2p_event_t* event = velp2p_node_recv(nodes[i], 5);
      if (!event)
        continue;
      const std::string line = std::to_string(i) + " " + velp2p_event_kind(event) + " " +
                               velp2p_event_peer(event) + " " + velp2p_event_text(event);
      velp2p_event_destroy(&event);
      if (match(line))
        return true;
    }
  }
  return false;
}

}  // namespace

TEST(CInterfaceNodes, TwoOfOneProcessTalkOnTheMainApplicationOrEachOnItsOwnLoop) {
  VELP2P_REQUIRE_SANDBOX();
  for (bool mainApplication : {true, false}) {
    std::unique_ptr<VELApplication> application(mainApplication ? new VELApplication() : nullptr);
    const unsigned short port = VELTestPort(mainApplication ? 73 : 74);
    velp2p_node_t* alice = Started("alice", port);
    velp2p_node_t* bob = Started("bob", port);
    ASSERT_TRUE(alice && bob);
    ASSERT_TRUE(
        ReceiveUntil({alice, bob}, [](const std::string& line) { return line == "1 born alice_KVZ "; }));
    ASSERT_EQ(velp2p_node_send(alice, "bob_KVZ", 7, "greeting", "hi bob", 6), VELP2P_OK);
    ASSERT_TRUE(ReceiveUntil({alice, bob}, [](const std::string& line) {
      return line == "1 message alice_KVZ ";
    })) << mainApplication;
    velp2p_node_destroy(&alice);
    ASSERT_TRUE(ReceiveUntil({bob}, [](const std::string& line) { return line == "0 left alice_KVZ "; }));
    velp2p_node_destroy(&bob);
  }
}

// Another node of the process holds the name: the newcomer is told, and its closing event says why.
TEST(CInterfaceNodes, ANodeUnderANameInUseClosesSayingSo) {
  VELP2P_REQUIRE_SANDBOX();
  const unsigned short port = VELTestPort(75);
  velp2p_node_t* first = Started("alice", port);
  ASSERT_NE(first, nullptr);
  velp2p_node_t* second = Started("alice", port);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(ReceiveUntil(
      {first, second}, [](const std::string& line) { return line == "1 closing alice_KVZ name in use"; }));
  // The first knows the name as its own, once.
  char** peers = velp2p_node_peers(first);
  ASSERT_NE(peers, nullptr);
  for (char** name = peers; *name; ++name)
    EXPECT_STREQ(*name, "alice_KVZ");
  EXPECT_TRUE(!peers[0] || !peers[1]);
  velp2p_strv_free(&peers);
  velp2p_node_destroy(&second);
  velp2p_node_destroy(&first);
}
