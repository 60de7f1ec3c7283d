// Peer processes (velp2p-scriptpeer) on real multicast and TCP endpoints, end to end. In the collaboration
// mode they learn of one another, exchange statuses, application messages and sessions, and learn of
// departures; in the standard mode they move through the group tree, search across groups and leave.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ConsoleTestSupport.h"
#include "support/ChildProcess.h"
#include "support/FakeEndPoints.h"
#include "support/NetSandbox.h"

namespace {

const int kWaitMs = 5000;

std::string Hex(const std::string& bytes) {
  return ::Hex(std::vector<char>(bytes.begin(), bytes.end()));
}

std::function<bool(const std::string&)> StartsWith(const std::string& prefix) {
  return [prefix](const std::string& text) { return text.compare(0, prefix.size(), prefix) == 0; };
}

// One velp2p-scriptpeer process. A wait looks first at the lines read since the last Mark(), so that a line
// printed while the test waited on another peer is not lost, and a line of an earlier step does not
// satisfy a later one.
class ScriptPeer {
 public:
  // A login starts the collaboration mode, where the peer is login_KVZ; none starts the standard mode.
  bool Start(const std::string& config, const std::string& login = "") {
    std::vector<std::pair<std::string, std::string>> env = {{"VELP2PConfig", config}, {"VELP2PTrace", "0"}};
    std::vector<std::string> arguments;
    if (login.empty())
      arguments.push_back("--standard");
    else
      env.push_back({"VELP2PLogin", login});
    std::string ready;
    if (!child.Start(VELTestProgramPath("velp2p-scriptpeer"), arguments, env) ||
        !Find(0, StartsWith("READY name="), &ready))
      return false;
    name = ready.substr(std::string("READY name=").size());
    return !name.empty();
  }
  void Mark() { _mark = child.Lines().size(); }
  bool Await(const std::string& line) {
    return Find(_mark, [&line](const std::string& text) { return text == line; });
  }
  int Count(const std::string& prefix) const {
    return static_cast<int>(std::count_if(child.Lines().begin(), child.Lines().end(), StartsWith(prefix)));
  }
  // Sends a command and returns the first line after it that starts with prefix.
  std::string Ask(const std::string& command, const std::string& prefix) {
    const size_t from = child.Lines().size();
    std::string answer;
    if (!child.WriteLine(command) || !Find(from, StartsWith(prefix), &answer))
      return "(no answer to " + command + ")";
    return answer;
  }
  // Quits, reads what the exit clean-up printed, and tells whether the process ended by itself with 0.
  bool Quit() {
    child.WriteLine("quit");
    child.CloseInput();
    const int status = child.WaitExit(kWaitMs);
    std::string line;
    while (child.ReadLine(line, kWaitMs)) {
    }
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  // Whether a line read from position from on, or one read until the deadline, matches.
  bool Find(size_t from, const std::function<bool(const std::string&)>& match, std::string* found = nullptr) {
    for (size_t i = from; i < child.Lines().size(); ++i) {
      if (match(child.Lines()[i])) {
        if (found)
          *found = child.Lines()[i];
        return true;
      }
    }
    return child.WaitForLine(match, kWaitMs, found);
  }

  VELTestChild child;
  std::string name;

 private:
  size_t _mark = 0;  // waits look at the lines read from here on
};

#define AWAIT(peer, line) \
  ASSERT_TRUE((peer).Await(line)) << "waiting for <" << (line) << ">\n" << (peer).child.Transcript()

std::string PeersLine(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  std::string line = "PEERS";
  for (const std::string& name : names)
    line += " " + name;
  return line;
}

class ScriptPeerProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    // A multicast port per test, so that a test does not hear what the peers of the previous one sent.
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const int port = VELTestPort(80 + static_cast<int>(std::hash<std::string>()(test) % 20));
    _config = std::make_unique<ConsoleConfig>("VELP2PMultiCastEndPoint|224.0.1.85|" + std::to_string(port) +
                                              "\nVELP2PTCPEndPoint|127.0.0.1|0\n");
    ASSERT_FALSE(_config->Path().empty());
  }

  std::unique_ptr<ConsoleConfig> _config;
};

class CollaborationProcess : public ScriptPeerProcess {
 protected:
  // Starts a peer and waits until it and every peer already present know each other, and until it has the
  // status each of them answered with. A status change multicast before that answer arrives would be
  // overwritten by it: the answer travels by TCP, the change by multicast, and nothing orders the two.
  void Join(ScriptPeer& newcomer, const std::string& login, const std::vector<ScriptPeer*>& present) {
    ASSERT_TRUE(newcomer.Start(_config->Path(), login)) << newcomer.child.Transcript();
    // Its own birth heard back puts it in its own directory.
    AWAIT(newcomer, "BIRTH peer=" + newcomer.name);
    for (ScriptPeer* peer : present) {
      AWAIT(*peer, "BIRTH peer=" + newcomer.name);
      AWAIT(newcomer, "BIRTH peer=" + peer->name);
      ASSERT_TRUE(newcomer.Find(0, StartsWith("STATUS peer=" + peer->name + " ")))
          << newcomer.child.Transcript();
    }
  }
  void StartThree() {
    Join(_a, "alpha", {});
    Join(_b, "bravo", {&_a});
    Join(_c, "charlie", {&_a, &_b});
  }
  // Every peer still running ends normally.
  void TearDown() override {
    for (ScriptPeer* peer : {&_a, &_b, &_c}) {
      if (peer->child.Running()) {
        EXPECT_TRUE(peer->Quit()) << peer->child.Transcript();
      }
    }
  }
  // What asker holds of name's status: "status=<n> desc=<hex>".
  static std::string StatusOf(ScriptPeer& asker, const std::string& name) {
    const std::string answer = asker.Ask("statusof " + name, "STATUSOF");
    return answer.substr(std::min(answer.size(), std::string("STATUSOF peer= ").size() + name.size()));
  }

  ScriptPeer _a, _b, _c;
};

}  // namespace

TEST_F(CollaborationProcess, ThreePeersLearnEachOtherAndTheirStatuses) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  for (ScriptPeer* peer : {&_a, &_b, &_c}) {
    EXPECT_EQ(peer->Ask("peers", "PEERS"), "PEERS alpha_KVZ bravo_KVZ charlie_KVZ")
        << peer->child.Transcript();
    // One birth per peer, each one's own included.
    for (const char* name : {"alpha_KVZ", "bravo_KVZ", "charlie_KVZ"})
      EXPECT_EQ(peer->Count(std::string("BIRTH peer=") + name), 1) << peer->child.Transcript();
  }
  // A newcomer hears each peer already present answer with its status, 6 before any change; a peer already
  // present keeps a newcomer at 0, unreported, until it changes its status.
  const std::pair<ScriptPeer*, std::string> answered[] = {{&_c, "alpha"}, {&_c, "bravo"}, {&_b, "alpha"}};
  for (const auto& entry : answered) {
    EXPECT_EQ(StatusOf(*entry.first, entry.second + "_KVZ"), "status=6 desc=-");
    EXPECT_EQ(entry.first->Count("STATUS peer=" + entry.second + "_KVZ status=6 desc=-"), 1);
  }
  const std::pair<ScriptPeer*, std::string> newcomers[] = {
      {&_b, "charlie"}, {&_a, "bravo"}, {&_a, "charlie"}};
  for (const auto& entry : newcomers)
    EXPECT_EQ(StatusOf(*entry.first, entry.second + "_KVZ"), "status=0 desc=-");
  EXPECT_EQ(_a.Count("STATUS "), 0) << _a.child.Transcript();
  EXPECT_EQ(_b.Count("STATUS peer=charlie_KVZ"), 0) << _b.child.Transcript();
}

TEST_F(CollaborationProcess, StatusChangeReachesEveryPeerAndComesBack) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  const std::string desc = Hex("Ça gère ✓");
  ASSERT_EQ(_a.Ask("status 3 " + desc, "DONE status"), "DONE status 0x00000000");
  // The sender's own values change only when its multicast comes back.
  for (ScriptPeer* peer : {&_b, &_c, &_a})
    AWAIT(*peer, "STATUS peer=alpha_KVZ status=3 desc=" + desc);
  EXPECT_EQ(_a.Ask("self", "SELF"), "SELF status=3 desc=" + desc);
  EXPECT_EQ(StatusOf(_b, "alpha_KVZ"), "status=3 desc=" + desc);
  EXPECT_EQ(StatusOf(_c, "alpha_KVZ"), "status=3 desc=" + desc);
  // Its own entry in its status store is left as its birth made it.
  EXPECT_EQ(StatusOf(_a, "alpha_KVZ"), "status=0 desc=-");

  // The longest description still fits one datagram; one byte more is refused by the sender.
  const std::string longest = Hex(std::string(926, 'x'));
  ASSERT_EQ(_c.Ask("status 1 " + longest, "DONE status"), "DONE status 0x00000000");
  AWAIT(_a, "STATUS peer=charlie_KVZ status=1 desc=" + longest);
  AWAIT(_b, "STATUS peer=charlie_KVZ status=1 desc=" + longest);
  EXPECT_EQ(_c.Ask("status 2 " + Hex(std::string(927, 'x')), "DONE status"), "DONE status 0x80004005");
  for (ScriptPeer* peer : {&_a, &_b, &_c}) {
    EXPECT_EQ(peer->Count("STATUS peer=alpha_KVZ status=3 "), 1) << peer->child.Transcript();
    EXPECT_EQ(peer->Count("STATUS peer=charlie_KVZ status=2 "), 0) << peer->child.Transcript();
  }
}

TEST_F(CollaborationProcess, ApplicationMessageArrivesByteExactAtItsTargetOnly) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  // Zero bytes inside, and longer than the first read of a TCP message.
  std::string data("\0\x01\xff\0", 4);
  for (int i = 0; i < 1000; ++i)
    data += static_cast<char>(i % 7 == 0 ? 0 : i);
  const std::string header = Hex("Größe ✓");
  ASSERT_EQ(_a.Ask("msg bravo_KVZ 200 " + header + " " + Hex(data), "DONE msg"), "DONE msg 0x00000000");
  AWAIT(_b, "MESSAGE peer=alpha_KVZ type=200 header=" + header + " data=" + Hex(data));
  EXPECT_EQ(_a.Ask("msg nobody_KVZ 1 - 00", "DONE msg"), "DONE msg 0x80004005");
  // The next message to charlie shows that the first went to bravo only.
  ASSERT_EQ(_a.Ask("msg charlie_KVZ 7 - 0102", "DONE msg"), "DONE msg 0x00000000");
  AWAIT(_c, "MESSAGE peer=alpha_KVZ type=7 header=- data=0102");
  EXPECT_EQ(_c.Count("MESSAGE "), 1) << _c.child.Transcript();
  EXPECT_EQ(_b.Count("MESSAGE "), 1) << _b.child.Transcript();
}

TEST_F(CollaborationProcess, SessionEventsNameTheOtherPartyOnBothSides) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  for (const std::string event : {"open", "close"}) {
    ASSERT_EQ(_a.Ask(event + " bravo_KVZ 3", "DONE"), "DONE " + event + " 0x00000000");
    const std::string code = event == "open" ? "30" : "31";
    AWAIT(_a, "SESSION peer=bravo_KVZ type=3 event=" + code);
    AWAIT(_b, "SESSION peer=alpha_KVZ type=3 event=" + code);
  }
  EXPECT_EQ(_a.Ask("open nobody_KVZ 3", "DONE open"), "DONE open 0x80004005");
  // A session charlie opens shows that charlie saw none of the first two.
  ASSERT_EQ(_c.Ask("open bravo_KVZ -5", "DONE open"), "DONE open 0x00000000");
  AWAIT(_b, "SESSION peer=charlie_KVZ type=-5 event=30");
  AWAIT(_c, "SESSION peer=bravo_KVZ type=-5 event=30");
  const std::vector<int> sessions = {_a.Count("SESSION "), _b.Count("SESSION "), _c.Count("SESSION ")};
  EXPECT_EQ(sessions, (std::vector<int>{2, 3, 1})) << _a.child.Transcript() << _b.child.Transcript();
}

TEST_F(CollaborationProcess, DeparturesAreReportedButAKilledPeerStaysListed) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  // bravo's process ends normally: the exit clean-up announces its death.
  EXPECT_TRUE(_b.Quit()) << _b.child.Transcript();
  EXPECT_EQ(_b.Count("CLOSE peer=bravo_KVZ"), 1) << _b.child.Transcript();
  AWAIT(_a, "DEATH peer=bravo_KVZ");
  AWAIT(_c, "DEATH peer=bravo_KVZ");
  // charlie is killed: nobody hears of it, and nothing expires it.
  _c.child.Kill();
  ScriptPeer delta;
  ASSERT_NO_FATAL_FAILURE(Join(delta, "delta", {&_a}));
  EXPECT_EQ(_a.Ask("peers", "PEERS"), "PEERS alpha_KVZ charlie_KVZ delta_KVZ");
  // delta disconnects and stays running.
  EXPECT_EQ(delta.Ask("disconnect", "DONE disconnect"), "DONE disconnect 0x00000000");
  AWAIT(_a, "DEATH peer=delta_KVZ");
  EXPECT_EQ(_a.Ask("peers", "PEERS"), "PEERS alpha_KVZ charlie_KVZ");
  EXPECT_EQ(StatusOf(_a, "delta_KVZ"), "status=none desc=-");
  EXPECT_EQ(delta.Ask("peers", "PEERS"), "PEERS");
  EXPECT_EQ(delta.Ask("open alpha_KVZ 1", "DONE open"), "DONE open 0x80004005");
  EXPECT_EQ(_a.Count("DEATH "), 2) << _a.child.Transcript();
  EXPECT_EQ(_c.Count("DEATH "), 1) << _c.child.Transcript();
  EXPECT_TRUE(delta.Quit()) << delta.child.Transcript();
}

using StandardModeProcess = ScriptPeerProcess;

TEST_F(StandardModeProcess, FourPeersMoveThroughTheGroupTreeAndFindEachOther) {
  ScriptPeer peers[4];
  for (ScriptPeer& peer : peers)
    ASSERT_TRUE(peer.Start(_config->Path())) << peer.child.Transcript();
  ScriptPeer& w = peers[0];  // stays in the root and searches
  ScriptPeer& v = peers[1];  // stays in the root, closes at the end
  ScriptPeer& y = peers[2];  // goes to /P2PRoot/Design, comes back
  ScriptPeer& x = peers[3];  // goes to /P2PRoot/Design, then /P2PRoot/Design/Team1
  std::vector<std::string> all;
  for (ScriptPeer& peer : peers)
    all.push_back(peer.name);
  ASSERT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 4u) << "the peer names must differ";
  // A step starts with a command; what the peers printed before it answers nothing of it.
  auto step = [&peers](ScriptPeer& peer, const std::string& command) {
    for (ScriptPeer& each : peers)
      each.Mark();
    return peer.child.WriteLine(command);
  };

  // Every peer lists the others of the root, and itself, whose own announcement comes back to it.
  for (ScriptPeer& peer : peers) {
    for (const std::string& name : all)
      AWAIT(peer, "CREATE peer=" + name);
    EXPECT_EQ(peer.Ask("peers", "PEERS"), PeersLine(all));
  }

  // Y moves to Design: the root sees it leave and learns the sub-group; Y's directory starts again.
  ASSERT_TRUE(step(y, "join Design"));
  AWAIT(y, "CURRENT group=/P2PRoot/Design");
  for (ScriptPeer* peer : {&w, &v, &x})
    AWAIT(*peer, "DESTRUCT peer=" + y.name);
  AWAIT(w, "SUBGROUP group=/P2PRoot subgroups=Design");
  AWAIT(y, "CREATE peer=" + y.name);
  EXPECT_EQ(y.Ask("peers", "PEERS"), PeersLine({y.name}));
  EXPECT_EQ(w.Ask("subgroups", "SUBGROUPS"), "SUBGROUPS Design");

  // X follows: Y and X find each other in Design, the root sees X leave.
  ASSERT_TRUE(step(x, "join Design"));
  AWAIT(y, "CREATE peer=" + x.name);
  AWAIT(x, "CREATE peer=" + y.name);
  AWAIT(x, "CREATE peer=" + x.name);
  for (ScriptPeer* peer : {&w, &v})
    AWAIT(*peer, "DESTRUCT peer=" + x.name);
  EXPECT_EQ(x.Ask("peers", "PEERS"), PeersLine({x.name, y.name}));
  EXPECT_EQ(y.Ask("peers", "PEERS"), PeersLine({x.name, y.name}));
  EXPECT_EQ(w.Ask("peers", "PEERS"), PeersLine({w.name, v.name}));

  // X moves on to Team1: Y, in Design, learns the sub-group from X's publication.
  ASSERT_TRUE(step(x, "join Team1"));
  AWAIT(y, "SUBGROUP group=/P2PRoot/Design subgroups=Team1");
  AWAIT(y, "DESTRUCT peer=" + x.name);
  AWAIT(x, "CREATE peer=" + x.name);

  // A search from the root finds every peer with its group; every peer records the searcher.
  ASSERT_TRUE(step(w, "search"));
  AWAIT(w, "RESULT peer=" + v.name + " group=/P2PRoot");
  AWAIT(w, "RESULT peer=" + y.name + " group=/P2PRoot/Design");
  AWAIT(w, "RESULT peer=" + x.name + " group=/P2PRoot/Design/Team1");
  for (ScriptPeer& peer : peers)
    AWAIT(peer, "CROSS peer=" + w.name + " group=/P2PRoot");

  // What the search found reaches X in its own group, through the group rule of X's test service.
  ASSERT_TRUE(step(w, "sendcross " + x.name + " hello"));
  AWAIT(w, "DONE sendcross 0x00000000");
  AWAIT(x, "MSG sender=" + w.name + " group=/P2PRoot/Design/Team1 text=hello");

  // Y comes back to the root: the root peers answer it and V sees it arrive. W already holds Y, which
  // answered the search, so W fires nothing new but still answers.
  ASSERT_TRUE(step(y, "leave"));
  AWAIT(y, "CURRENT group=/P2PRoot");
  AWAIT(v, "CREATE peer=" + y.name);
  for (ScriptPeer* peer : {&w, &v, &y})
    AWAIT(y, "CREATE peer=" + peer->name);
  EXPECT_EQ(y.Ask("peers", "PEERS"), PeersLine({w.name, v.name, y.name}));
  EXPECT_EQ(v.Ask("peers", "PEERS"), PeersLine({w.name, v.name, y.name}));
  EXPECT_NE(w.Ask("peers", "PEERS").find(y.name), std::string::npos);

  // V closes: it leaves its group, and W and Y drop it.
  for (ScriptPeer& peer : peers)
    peer.Mark();
  EXPECT_TRUE(v.Quit()) << v.child.Transcript();
  AWAIT(w, "DESTRUCT peer=" + v.name);
  AWAIT(y, "DESTRUCT peer=" + v.name);
  EXPECT_EQ(y.Ask("peers", "PEERS"), PeersLine({w.name, y.name}));
  EXPECT_EQ(w.Ask("peers", "PEERS").find(v.name), std::string::npos);
  for (ScriptPeer* peer : {&w, &y, &x})
    EXPECT_TRUE(peer->Quit()) << peer->child.Transcript();
}
