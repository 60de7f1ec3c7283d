// Collaboration mode end to end: peer processes on real multicast and TCP endpoints learn of one another,
// exchange statuses, application messages and sessions, and learn of departures.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/NetSandbox.h"

namespace {

const int kStartMs = 5000;
const int kEventMs = 5000;

std::string Hex(const std::string& bytes) {
  if (bytes.empty())
    return "-";
  std::string text;
  char pair[3];
  for (unsigned char byte : bytes) {
    std::snprintf(pair, sizeof(pair), "%02x", byte);
    text += pair;
  }
  return text;
}

// A configuration file for the peers of one test, removed with the object.
class ConfigFile {
 public:
  explicit ConfigFile(const std::string& contents) {
    char path[] = "/tmp/velp2p-collab-XXXXXX";
    int descriptor = mkstemp(path);
    if (descriptor < 0)
      return;
    _path = path;
    ssize_t written = write(descriptor, contents.data(), contents.size());
    (void)written;
    close(descriptor);
  }
  ~ConfigFile() {
    if (!_path.empty())
      unlink(_path.c_str());
  }
  const std::string& Path() const { return _path; }

 private:
  std::string _path;
};

// One velp2p-collabpeer process.
class CollabPeer {
 public:
  bool Start(const ConfigFile& config, const std::string& login) {
    name = login + "_KVZ";
    if (!child.Start(VELTestProgramPath("velp2p-collabpeer"), {},
                     {{"VELP2PConfig", config.Path()}, {"VELP2PLogin", login}, {"VELP2PTrace", "0"}})) {
      return false;
    }
    return child.WaitForLine([this](const std::string& line) { return line == "READY name=" + name; },
                             kStartMs);
  }

  // Waits for an event line, which may have been read already while waiting for another one.
  bool Await(const std::string& line, int timeoutMs = kEventMs) {
    if (Count(line) > 0)
      return true;
    return child.WaitForLine([&line](const std::string& text) { return text == line; }, timeoutMs);
  }
  bool AwaitPrefix(const std::string& prefix, int timeoutMs = kEventMs) {
    if (CountPrefix(prefix) > 0)
      return true;
    return child.WaitForPrefix(prefix, timeoutMs);
  }
  int Count(const std::string& line) const {
    return static_cast<int>(std::count(child.Lines().begin(), child.Lines().end(), line));
  }
  int CountPrefix(const std::string& prefix) const {
    return static_cast<int>(
        std::count_if(child.Lines().begin(), child.Lines().end(),
                      [&prefix](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; }));
  }

  // Sends a command and returns the answer line that starts with prefix ("" when none came in time).
  std::string Ask(const std::string& command, const std::string& prefix) {
    std::string answer;
    if (!child.WriteLine(command) || !child.WaitForPrefix(prefix, kEventMs, &answer))
      return "";
    return answer;
  }

  int Quit() {
    if (Ask("quit", "BYE").empty())
      return -1;
    child.CloseInput();
    const int status = child.WaitExit(kStartMs);
    // What the exit clean-up printed after BYE.
    std::string line;
    while (child.ReadLine(line, kEventMs)) {
    }
    return status;
  }

  VELTestChild child;
  std::string name;
};

bool ExitedCleanly(int status) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class CollaborationProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VELTestInPrivateNetwork())
      GTEST_SKIP() << "multi-process tests need a private network namespace";
    // A multicast port of its own per test, so that no test hears the peers of another.
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const int port = VELTestPort(81 + static_cast<int>(std::hash<std::string>()(test) % 10));
    _config = std::make_unique<ConfigFile>("VELP2PMultiCastEndPoint|224.0.1.85|" + std::to_string(port) +
                                           "\nVELP2PTCPEndPoint|127.0.0.1|0\n");
    ASSERT_FALSE(_config->Path().empty());
  }

  // Starts a peer and waits until it and every peer already started know each other, and until it has the
  // status that each of them answered with. A status change multicast before that answer arrives would be
  // overwritten by it: the answer travels by TCP, the change by multicast, and nothing orders the two.
  void Join(CollabPeer& newcomer, const std::string& login, const std::vector<CollabPeer*>& present) {
    ASSERT_TRUE(newcomer.Start(*_config, login)) << newcomer.child.Transcript();
    // Its own birth heard back puts it in its own directory.
    ASSERT_TRUE(newcomer.Await("BIRTH peer=" + newcomer.name)) << newcomer.child.Transcript();
    for (CollabPeer* peer : present) {
      ASSERT_TRUE(peer->Await("BIRTH peer=" + newcomer.name)) << peer->child.Transcript();
      ASSERT_TRUE(newcomer.Await("BIRTH peer=" + peer->name)) << newcomer.child.Transcript();
      ASSERT_TRUE(newcomer.AwaitPrefix("STATUS peer=" + peer->name + " ")) << newcomer.child.Transcript();
    }
  }

  void StartThree() {
    Join(_a, "alpha", {});
    Join(_b, "bravo", {&_a});
    Join(_c, "charlie", {&_a, &_b});
  }

  std::unique_ptr<ConfigFile> _config;
  CollabPeer _a, _b, _c;
};

}  // namespace

TEST_F(CollaborationProcess, ThreePeersLearnEachOtherAndTheirStatuses) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  for (CollabPeer* peer : {&_a, &_b, &_c}) {
    EXPECT_EQ(peer->Ask("peers", "PEERS"), "PEERS alpha_KVZ bravo_KVZ charlie_KVZ")
        << peer->child.Transcript();
  }
  // A newcomer hears each peer already present answer with its status, 6 before any change.
  ASSERT_TRUE(_c.Await("STATUS peer=alpha_KVZ status=6 desc=-")) << _c.child.Transcript();
  ASSERT_TRUE(_c.Await("STATUS peer=bravo_KVZ status=6 desc=-")) << _c.child.Transcript();
  ASSERT_TRUE(_b.Await("STATUS peer=alpha_KVZ status=6 desc=-")) << _b.child.Transcript();
  EXPECT_EQ(_c.Ask("statusof alpha_KVZ", "STATUSOF"), "STATUSOF peer=alpha_KVZ status=6 desc=-");
  EXPECT_EQ(_c.Ask("statusof bravo_KVZ", "STATUSOF"), "STATUSOF peer=bravo_KVZ status=6 desc=-");
  EXPECT_EQ(_b.Ask("statusof alpha_KVZ", "STATUSOF"), "STATUSOF peer=alpha_KVZ status=6 desc=-");
  // A peer already present keeps a newcomer at 0 until it changes its status.
  EXPECT_EQ(_b.Ask("statusof charlie_KVZ", "STATUSOF"), "STATUSOF peer=charlie_KVZ status=0 desc=-");
  EXPECT_EQ(_a.Ask("statusof bravo_KVZ", "STATUSOF"), "STATUSOF peer=bravo_KVZ status=0 desc=-");
  EXPECT_EQ(_a.Ask("statusof charlie_KVZ", "STATUSOF"), "STATUSOF peer=charlie_KVZ status=0 desc=-");

  // One birth per peer, each one's own included.
  for (CollabPeer* peer : {&_a, &_b, &_c}) {
    for (const char* name : {"alpha_KVZ", "bravo_KVZ", "charlie_KVZ"}) {
      EXPECT_EQ(peer->Count(std::string("BIRTH peer=") + name), 1) << peer->child.Transcript();
    }
  }
  EXPECT_EQ(_a.CountPrefix("STATUS "), 0) << _a.child.Transcript();
  for (CollabPeer* peer : {&_a, &_b, &_c})
    EXPECT_TRUE(ExitedCleanly(peer->Quit())) << peer->child.Transcript();
}

TEST_F(CollaborationProcess, StatusChangeReachesEveryPeerAndComesBack) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  const std::string desc = Hex("Ça gère ✓");
  const std::string line = "STATUS peer=alpha_KVZ status=3 desc=" + desc;
  ASSERT_EQ(_a.Ask("status 3 " + desc, "DONE status"), "DONE status 0x00000000");
  ASSERT_TRUE(_b.Await(line)) << _b.child.Transcript();
  ASSERT_TRUE(_c.Await(line)) << _c.child.Transcript();
  // The sender's own values change only when its multicast comes back.
  ASSERT_TRUE(_a.Await(line)) << _a.child.Transcript();
  EXPECT_EQ(_a.Ask("self", "SELF"), "SELF status=3 desc=" + desc);
  EXPECT_EQ(_b.Ask("statusof alpha_KVZ", "STATUSOF"), "STATUSOF peer=alpha_KVZ status=3 desc=" + desc);
  EXPECT_EQ(_c.Ask("statusof alpha_KVZ", "STATUSOF"), "STATUSOF peer=alpha_KVZ status=3 desc=" + desc);
  // Its own entry in its status store is left as its birth made it.
  EXPECT_EQ(_a.Ask("statusof alpha_KVZ", "STATUSOF"), "STATUSOF peer=alpha_KVZ status=0 desc=-");

  // The longest description still fits one datagram; one byte more is refused by the sender.
  const std::string longest = Hex(std::string(926, 'x'));
  ASSERT_EQ(_c.Ask("status 1 " + longest, "DONE status"), "DONE status 0x00000000");
  ASSERT_TRUE(_a.Await("STATUS peer=charlie_KVZ status=1 desc=" + longest)) << _a.child.Transcript();
  ASSERT_TRUE(_b.Await("STATUS peer=charlie_KVZ status=1 desc=" + longest)) << _b.child.Transcript();
  EXPECT_EQ(_c.Ask("status 2 " + Hex(std::string(927, 'x')), "DONE status"), "DONE status 0x80004005");

  for (CollabPeer* peer : {&_a, &_b, &_c}) {
    EXPECT_EQ(peer->CountPrefix("STATUS peer=alpha_KVZ status=3 "), 1) << peer->child.Transcript();
    EXPECT_EQ(peer->CountPrefix("STATUS peer=charlie_KVZ status=2 "), 0) << peer->child.Transcript();
  }
  for (CollabPeer* peer : {&_a, &_b, &_c})
    EXPECT_TRUE(ExitedCleanly(peer->Quit())) << peer->child.Transcript();
}

TEST_F(CollaborationProcess, ApplicationMessageArrivesByteExact) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  // Zero bytes inside, and longer than the first read of a TCP message.
  std::string data("\0\x01\xff\0", 4);
  for (int i = 0; i < 1000; ++i)
    data += static_cast<char>(i % 7 == 0 ? 0 : i);
  const std::string header = Hex("Größe ✓");
  ASSERT_EQ(_a.Ask("msg bravo_KVZ 200 " + header + " " + Hex(data), "DONE msg"), "DONE msg 0x00000000");
  ASSERT_TRUE(_b.Await("MESSAGE peer=alpha_KVZ type=200 header=" + header + " data=" + Hex(data)))
      << _b.child.Transcript();
  // An unknown peer is refused at once.
  EXPECT_EQ(_a.Ask("msg nobody_KVZ 1 - 00", "DONE msg"), "DONE msg 0x80004005");
  // The next message to charlie shows that the first went to bravo only.
  ASSERT_EQ(_a.Ask("msg charlie_KVZ 7 - 0102", "DONE msg"), "DONE msg 0x00000000");
  ASSERT_TRUE(_c.Await("MESSAGE peer=alpha_KVZ type=7 header=- data=0102")) << _c.child.Transcript();
  EXPECT_EQ(_c.CountPrefix("MESSAGE "), 1) << _c.child.Transcript();
  EXPECT_EQ(_b.CountPrefix("MESSAGE "), 1) << _b.child.Transcript();
  for (CollabPeer* peer : {&_a, &_b, &_c})
    EXPECT_TRUE(ExitedCleanly(peer->Quit())) << peer->child.Transcript();
}

TEST_F(CollaborationProcess, SessionEventsNameTheOtherPartyOnBothSides) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  ASSERT_EQ(_a.Ask("open bravo_KVZ 3", "DONE open"), "DONE open 0x00000000");
  ASSERT_TRUE(_a.Await("SESSION peer=bravo_KVZ type=3 event=30")) << _a.child.Transcript();
  ASSERT_TRUE(_b.Await("SESSION peer=alpha_KVZ type=3 event=30")) << _b.child.Transcript();
  ASSERT_EQ(_a.Ask("close bravo_KVZ 3", "DONE close"), "DONE close 0x00000000");
  ASSERT_TRUE(_a.Await("SESSION peer=bravo_KVZ type=3 event=31")) << _a.child.Transcript();
  ASSERT_TRUE(_b.Await("SESSION peer=alpha_KVZ type=3 event=31")) << _b.child.Transcript();
  EXPECT_EQ(_a.Ask("open nobody_KVZ 3", "DONE open"), "DONE open 0x80004005");

  // A session charlie opens shows that charlie saw none of the first two.
  ASSERT_EQ(_c.Ask("open bravo_KVZ -5", "DONE open"), "DONE open 0x00000000");
  ASSERT_TRUE(_b.Await("SESSION peer=charlie_KVZ type=-5 event=30")) << _b.child.Transcript();
  ASSERT_TRUE(_c.Await("SESSION peer=bravo_KVZ type=-5 event=30")) << _c.child.Transcript();
  EXPECT_EQ(_c.CountPrefix("SESSION "), 1) << _c.child.Transcript();
  EXPECT_EQ(_a.CountPrefix("SESSION "), 2) << _a.child.Transcript();
  EXPECT_EQ(_b.CountPrefix("SESSION "), 3) << _b.child.Transcript();
  for (CollabPeer* peer : {&_a, &_b, &_c})
    EXPECT_TRUE(ExitedCleanly(peer->Quit())) << peer->child.Transcript();
}

TEST_F(CollaborationProcess, DeparturesAreReportedButAKilledPeerStaysListed) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  // bravo's process ends normally: the exit clean-up announces its death.
  EXPECT_TRUE(ExitedCleanly(_b.Quit())) << _b.child.Transcript();
  EXPECT_EQ(_b.Count("CLOSE peer=bravo_KVZ"), 1) << _b.child.Transcript();
  ASSERT_TRUE(_a.Await("DEATH peer=bravo_KVZ")) << _a.child.Transcript();
  ASSERT_TRUE(_c.Await("DEATH peer=bravo_KVZ")) << _c.child.Transcript();

  // charlie is killed: nobody hears of it, and nothing expires it.
  _c.child.Kill();
  CollabPeer delta;
  ASSERT_NO_FATAL_FAILURE(Join(delta, "delta", {&_a}));
  EXPECT_EQ(_a.Ask("peers", "PEERS"), "PEERS alpha_KVZ charlie_KVZ delta_KVZ");

  // delta disconnects and stays running.
  EXPECT_EQ(delta.Ask("disconnect", "DONE disconnect"), "DONE disconnect 0x00000000");
  ASSERT_TRUE(_a.Await("DEATH peer=delta_KVZ")) << _a.child.Transcript();
  EXPECT_EQ(_a.Ask("peers", "PEERS"), "PEERS alpha_KVZ charlie_KVZ");
  EXPECT_EQ(_a.Ask("statusof delta_KVZ", "STATUSOF"), "STATUSOF peer=delta_KVZ status=none desc=-");
  EXPECT_EQ(delta.Ask("peers", "PEERS"), "PEERS");
  EXPECT_EQ(delta.Ask("open alpha_KVZ 1", "DONE open"), "DONE open 0x80004005");

  EXPECT_EQ(_a.CountPrefix("DEATH "), 2) << _a.child.Transcript();
  EXPECT_EQ(_c.CountPrefix("DEATH "), 1) << _c.child.Transcript();
  EXPECT_TRUE(ExitedCleanly(delta.Quit())) << delta.child.Transcript();
  EXPECT_TRUE(ExitedCleanly(_a.Quit())) << _a.child.Transcript();
}
