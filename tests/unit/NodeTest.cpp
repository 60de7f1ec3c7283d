// Nodes: the default peer behind the C++ face, and two nodes of one process that talk to each other as two
// processes would, on one loop or on two.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/VELP2PNode.h"
#include "core/VELP2POptions.h"
#include "support/FakeEndPoints.h"
#include "support/NetSandbox.h"
#include "support/TempFile.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELLastError.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"

namespace {

constexpr int kDeadlineMs = 30000;

// The notifications of one class a peer fired, as "<peer> <detail>": the header and data of a message, the
// status and description of a status, nothing else for the others.
class Heard {
 public:
  Heard(VELP2PPeer& peer, const char* notificationClass)
      : _callback(AddCallback(nullptr, peer.GetP2PPublisher(), notificationClass, [this](VELNotification* n) {
          std::string line = static_cast<VELP2PNotif*>(n)->getPeerName()->Str();
          if (auto* message = dynamic_cast<VELP2PMessageReceivedNotif*>(n)) {
            line += " " + message->getHeader()->Str() + " " +
                    std::string(message->getBuffer(), message->getBuffer() + message->getLength());
          } else if (auto* status = dynamic_cast<VELP2PChangeStatusNotif*>(n)) {
            VELUnicodeString desc;
            status->getDescription(desc);
            line += " " + std::to_string(status->getStatus()) + " " + desc.Str();
          }
          _lines.push_back(line);
        })) {}
  ~Heard() { RemoveCallback(_callback); }
  const std::vector<std::string>& Lines() const { return _lines; }
  bool Has(const std::string& line) const {
    return std::find(_lines.begin(), _lines.end(), line) != _lines.end();
  }

 private:
  VELCallback* _callback;
  std::vector<std::string> _lines;
};

// Turns every loop in turn until done holds, or the deadline passes.
bool TurnUntil(const std::vector<VELApplication*>& loops, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    for (VELApplication* loop : loops)
      (void)loop->RunOnce(loops.size() > 1 ? 5 : 50);
  }
  return true;
}

// The collaboration mode on the namespace's loopback, with a multicast port of the test's own.
VELP2POptions Options(const char* login, unsigned short port) {
  VELP2POptions options;
  (void)options.Set("login", login);
  (void)options.Set("endpoints", "VELP2PMultiCastEndPoint|224.0.1.85|" + std::to_string(port) +
                                     "\nVELP2PTCPEndPoint|127.0.0.1|0\n");
  return options;
}

}  // namespace

TEST(DefaultPeer, StartsOnTheMainApplicationOnceAtATimeInTheModeOfTheLastInit) {
  ASSERT_EQ(VELApplication::MainApplication(), nullptr);
  ScopedFakeEndPoints fakes;
  TempFile config("VELP2PMultiCastEndPoint|224.0.1.85|0\nVELP2PTCPEndPoint|127.0.0.1|0\n");
  setenv("VELP2PConfig", config.Path().c_str(), 1);
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  ASSERT_EQ(peer, VELP2PPeer::GetLocalPeer());
  // Without a loop its endpoints would never hear anyone: refused, with the reason.
  EXPECT_EQ(peer->InitP2PForRTC(), VEL_E_FAIL);
  EXPECT_EQ(VELP2PGetLastErrorCode(), VELP2P_ERROR_NO_LOOP);
  EXPECT_EQ(VELP2PPeer::IsConnected(), 0);
  {
    VELApplication application;
    Heard started(*peer, "VELP2PInitPeerNotif");
    ASSERT_EQ(peer->InitP2PForRTC(), VEL_S_OK);
    EXPECT_EQ(VELP2PPeer::_rtc, 1);
    for (VELResult again : {peer->InitP2P(), peer->InitP2PForRTC()}) {
      EXPECT_EQ(again, VEL_E_FAIL);
      EXPECT_EQ(VELP2PGetLastErrorCode(), VELP2P_ERROR_ALREADY_STARTED);
    }
    EXPECT_EQ(started.Lines().size(), 1u);
    EXPECT_TRUE(peer->Collaboration());
    ASSERT_EQ(peer->Disconnect(), VEL_S_OK);
    ASSERT_EQ(peer->InitP2P(), VEL_S_OK);
    EXPECT_EQ(VELP2PPeer::_rtc, 0);
    EXPECT_FALSE(peer->Collaboration());
    EXPECT_NE(peer->GetService("PeerService"), nullptr);
    EXPECT_EQ(started.Lines().size(), 2u);
    ASSERT_EQ(peer->Disconnect(), VEL_S_OK);
  }
  unsetenv("VELP2PConfig");
}

TEST(Nodes, TwoOfOneProcessLearnEachOtherAndTalkOnOneLoopOrTwo) {
  VELP2P_REQUIRE_SANDBOX();
  for (bool twoLoops : {false, true}) {
    VELApplication first(false), second(false);
    const std::vector<VELApplication*> loops =
        twoLoops ? std::vector<VELApplication*>{&first, &second} : std::vector<VELApplication*>{&first};
    VELP2PNode alice(&first), bob(loops.back());
    const unsigned short port = VELTestPort(twoLoops ? 71 : 70);
    ASSERT_EQ(alice.Peer().Start(Options("alice", port)), VEL_S_OK);
    ASSERT_EQ(bob.Peer().Start(Options("bob", port)), VEL_S_OK);
    Heard bobHeard(bob.Peer(), "VELP2PNotif");
    ASSERT_TRUE(TurnUntil(loops, [&] {
      return alice.Peer().IsPeerConnected("bob_KVZ") && bob.Peer().IsPeerConnected("alice_KVZ");
    })) << twoLoops;

    char data[] = "hi bob";
    ASSERT_EQ(alice.Peer().SendP2PMessage("bob_KVZ", 7, "greeting", data, 6), VEL_S_OK);
    ASSERT_EQ(alice.Peer().ChangeP2PStatus(3, "busy"), VEL_S_OK);
    ASSERT_TRUE(TurnUntil(loops, [&] {
      return bobHeard.Has("alice_KVZ greeting hi bob") && bobHeard.Has("alice_KVZ 3 busy");
    })) << twoLoops;
    // Each node's directory and statuses are its own.
    VELListValVELUnicodeString names;
    ASSERT_EQ(bob.Peer().GetConnectedPeers(names), VEL_S_OK);
    EXPECT_EQ(names.Size(), 2);
    EXPECT_EQ(*bob.Peer().GetPeerName(), "bob_KVZ");
    EXPECT_EQ(*alice.Peer().GetPeerName(), "alice_KVZ");

    // A node that leaves is heard leaving by the other.
    ASSERT_EQ(alice.Peer().Disconnect(), VEL_S_OK);
    ASSERT_TRUE(TurnUntil(loops, [&] { return !bob.Peer().IsPeerConnected("alice_KVZ"); })) << twoLoops;
  }
}

// Each node on a loop turned by a thread of its own: what the library keeps beside the nodes is never touched
// from both threads at once (the sanitized suite runs this too).
TEST(Nodes, TwoOnLoopsOfTwoThreadsTalk) {
  VELP2P_REQUIRE_SANDBOX();
  VELApplication first(false), second(false);
  VELP2PNode alice(&first), bob(&second);
  const unsigned short port = VELTestPort(76);
  ASSERT_EQ(alice.Peer().Start(Options("alice", port)), VEL_S_OK);
  ASSERT_EQ(bob.Peer().Start(Options("bob", port)), VEL_S_OK);
  Heard bobHeard(bob.Peer(), "VELP2PMessageReceivedNotif");
  std::atomic<bool> received{false};
  bool sent = false, aliceDone = false, bobDone = false;
  std::thread aliceThread([&] {
    aliceDone = first.RunUntil(
        [&] {
          if (!sent && alice.Peer().IsPeerConnected("bob_KVZ")) {
            char data[] = "hi bob";
            sent = alice.Peer().SendP2PMessage("bob_KVZ", 7, "greeting", data, 6) == VEL_S_OK;
          }
          return received.load();
        },
        kDeadlineMs);
  });
  std::thread bobThread([&] {
    bobDone = second.RunUntil(
        [&] {
          if (bobHeard.Has("alice_KVZ greeting hi bob") && !received.exchange(true))
            first.Post([] {});  // wakes alice's loop to see it
          return received.load();
        },
        kDeadlineMs);
  });
  aliceThread.join();
  bobThread.join();
  EXPECT_TRUE(sent);
  EXPECT_TRUE(aliceDone);
  EXPECT_TRUE(bobDone);
}
