// Four standard-mode peer processes finding each other, moving through the group tree, learning sub-groups,
// searching across groups and leaving, with the library's group, peer and discovery services end to end.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/NetSandbox.h"

namespace {

const int kWaitMs = 5000;

// The configuration file of the peers, removed with the object.
class StdConfigFile {
 public:
  explicit StdConfigFile(const std::string& contents) {
    char path[] = "/tmp/velp2p-stdpeer-XXXXXX";
    int descriptor = mkstemp(path);
    if (descriptor < 0)
      return;
    _path = path;
    ssize_t written = write(descriptor, contents.data(), contents.size());
    (void)written;
    close(descriptor);
  }
  ~StdConfigFile() {
    if (!_path.empty())
      unlink(_path.c_str());
  }
  const std::string& Path() const { return _path; }

 private:
  std::string _path;
};

// One velp2p-stdpeer process. Every line it prints is kept; a wait looks at the lines printed since the last
// Mark() before reading more, so that a line printed while the test waited on another peer is not lost and
// a line of an earlier step does not satisfy a later one.
class StdPeer {
 public:
  bool Start(const StdConfigFile& config) {
    if (!_child.Start(VELTestProgramPath("velp2p-stdpeer"), {}, {{"VELP2PConfig", config.Path()}}))
      return false;
    std::string ready;
    if (!AwaitPrefix("READY name=", &ready))
      return false;
    _name = ready.substr(std::string("READY name=").size());
    _name = _name.substr(0, _name.find(' '));
    return !_name.empty();
  }

  const std::string& Name() const { return _name; }
  void Mark() { _mark = _lines.size(); }
  bool Send(const std::string& command) { return _child.WriteLine(command); }

  bool Await(const std::string& line) {
    return AwaitMatch([&line](const std::string& text) { return text == line; }, nullptr);
  }
  bool AwaitPrefix(const std::string& prefix, std::string* found = nullptr) {
    return AwaitMatch(
        [&prefix](const std::string& text) { return text.compare(0, prefix.size(), prefix) == 0; }, found);
  }
  // Sends a command and returns the line that answers it (the first line with the given prefix after it).
  std::string Ask(const std::string& command, const std::string& prefix) {
    Mark();
    std::string answer;
    if (!Send(command) || !AwaitPrefix(prefix, &answer))
      return "(no answer to " + command + ")";
    return answer;
  }

  // Quits and returns true when the process ended by itself with status 0.
  bool Quit() {
    _child.WriteLine("quit");
    _child.CloseInput();
    int status = _child.WaitExit(kWaitMs);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  std::string Transcript() const {
    std::string text = "transcript of " + _name + ":\n";
    for (const std::string& line : _lines)
      text += "  | " + line + "\n";
    return text;
  }

 private:
  bool AwaitMatch(const std::function<bool(const std::string&)>& match, std::string* found) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (size_t i = _mark;; ++i) {
      while (i >= _lines.size()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        std::string line;
        if (left.count() <= 0 || !_child.ReadLine(line, static_cast<int>(left.count())))
          return false;
        _lines.push_back(line);
      }
      if (match(_lines[i])) {
        if (found)
          *found = _lines[i];
        return true;
      }
    }
  }

  VELTestChild _child;
  std::string _name;
  std::vector<std::string> _lines;  // every line printed so far
  size_t _mark = 0;                 // waits look at _lines from here on
};

std::string PeersLine(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  std::string line = "PEERS";
  for (const std::string& name : names)
    line += " " + name;
  return line;
}

class StandardModeProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VELTestInPrivateNetwork())
      GTEST_SKIP() << "multi-process tests need a private network namespace";
    _config = std::make_unique<StdConfigFile>("VELP2PMultiCastEndPoint|224.0.1.85|" +
                                              std::to_string(VELTestPort(80)) +
                                              "\nVELP2PTCPEndPoint|127.0.0.1|0\n");
    ASSERT_FALSE(_config->Path().empty());
  }

  std::unique_ptr<StdConfigFile> _config;
};

#define AWAIT(peer, line) \
  ASSERT_TRUE((peer).Await(line)) << "waiting for <" << (line) << ">\n" << (peer).Transcript()

TEST_F(StandardModeProcess, FourPeersMoveThroughTheGroupTreeAndFindEachOther) {
  StdPeer peers[4];
  for (StdPeer& peer : peers)
    ASSERT_TRUE(peer.Start(*_config)) << peer.Transcript();
  StdPeer& w = peers[0];  // stays in the root and searches
  StdPeer& v = peers[1];  // stays in the root, closes at the end
  StdPeer& y = peers[2];  // goes to /P2PRoot/Design, comes back
  StdPeer& x = peers[3];  // goes to /P2PRoot/Design, then /P2PRoot/Design/Team1
  std::vector<std::string> all;
  for (StdPeer& peer : peers)
    all.push_back(peer.Name());
  ASSERT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 4u) << "the peer names must differ";

  // Every peer lists the others of the root, and itself, whose own announcement comes back to it.
  for (StdPeer& peer : peers) {
    for (const std::string& name : all)
      AWAIT(peer, "CREATE peer=" + name);
    EXPECT_EQ(peer.Ask("peers", "PEERS"), PeersLine(all));
  }

  // Y moves to Design: the root sees it leave and learns the sub-group; Y's directory starts again.
  for (StdPeer& peer : peers)
    peer.Mark();
  ASSERT_TRUE(y.Send("join Design"));
  AWAIT(y, "CURRENT group=/P2PRoot/Design");
  for (StdPeer* peer : {&w, &v, &x})
    AWAIT(*peer, "DESTRUCT peer=" + y.Name());
  AWAIT(w, "SUBGROUP group=/P2PRoot subgroups=Design");
  AWAIT(y, "CREATE peer=" + y.Name());
  EXPECT_EQ(y.Ask("peers", "PEERS"), PeersLine({y.Name()}));
  EXPECT_EQ(w.Ask("subgroups", "SUBGROUPS"), "SUBGROUPS Design");

  // X follows: Y and X find each other in Design, the root sees X leave.
  for (StdPeer& peer : peers)
    peer.Mark();
  ASSERT_TRUE(x.Send("join Design"));
  AWAIT(y, "CREATE peer=" + x.Name());
  AWAIT(x, "CREATE peer=" + y.Name());
  AWAIT(x, "CREATE peer=" + x.Name());
  for (StdPeer* peer : {&w, &v})
    AWAIT(*peer, "DESTRUCT peer=" + x.Name());
  EXPECT_EQ(x.Ask("peers", "PEERS"), PeersLine({x.Name(), y.Name()}));
  EXPECT_EQ(y.Ask("peers", "PEERS"), PeersLine({x.Name(), y.Name()}));
  EXPECT_EQ(w.Ask("peers", "PEERS"), PeersLine({w.Name(), v.Name()}));

  // X moves on to Team1: Y, in Design, learns the sub-group from X's publication.
  for (StdPeer& peer : peers)
    peer.Mark();
  ASSERT_TRUE(x.Send("join Team1"));
  AWAIT(y, "SUBGROUP group=/P2PRoot/Design subgroups=Team1");
  AWAIT(y, "DESTRUCT peer=" + x.Name());
  AWAIT(x, "CREATE peer=" + x.Name());

  // A search from the root finds every peer with its group; every peer records the searcher.
  for (StdPeer& peer : peers)
    peer.Mark();
  ASSERT_TRUE(w.Send("search"));
  AWAIT(w, "RESULT peer=" + v.Name() + " group=/P2PRoot");
  AWAIT(w, "RESULT peer=" + y.Name() + " group=/P2PRoot/Design");
  AWAIT(w, "RESULT peer=" + x.Name() + " group=/P2PRoot/Design/Team1");
  for (StdPeer& peer : peers)
    AWAIT(peer, "CROSS peer=" + w.Name() + " group=/P2PRoot");

  // What the search found reaches X in its own group, through the group rule of X's test service.
  w.Mark();
  x.Mark();
  ASSERT_TRUE(w.Send("sendcross " + x.Name() + " hello"));
  AWAIT(w, "DONE sendcross 0x00000000");
  AWAIT(x, "MSG sender=" + w.Name() + " group=/P2PRoot/Design/Team1 text=hello");

  // Y comes back to the root: the root peers answer it and V sees it arrive. W already holds Y, which
  // answered the search, so W fires nothing new but still answers.
  for (StdPeer& peer : peers)
    peer.Mark();
  ASSERT_TRUE(y.Send("leave"));
  AWAIT(y, "CURRENT group=/P2PRoot");
  AWAIT(v, "CREATE peer=" + y.Name());
  for (StdPeer* peer : {&w, &v, &y})
    AWAIT(y, "CREATE peer=" + peer->Name());
  EXPECT_EQ(y.Ask("peers", "PEERS"), PeersLine({w.Name(), v.Name(), y.Name()}));
  EXPECT_EQ(v.Ask("peers", "PEERS"), PeersLine({w.Name(), v.Name(), y.Name()}));
  EXPECT_NE(w.Ask("peers", "PEERS").find(y.Name()), std::string::npos);

  // V closes: it leaves its group, and W and Y drop it.
  for (StdPeer& peer : peers)
    peer.Mark();
  EXPECT_TRUE(v.Quit()) << v.Transcript();
  AWAIT(w, "DESTRUCT peer=" + v.Name());
  AWAIT(y, "DESTRUCT peer=" + v.Name());
  EXPECT_EQ(y.Ask("peers", "PEERS"), PeersLine({w.Name(), y.Name()}));
  EXPECT_EQ(w.Ask("peers", "PEERS").find(v.Name()), std::string::npos);

  for (StdPeer* peer : {&w, &y, &x})
    EXPECT_TRUE(peer->Quit()) << peer->Transcript();
}

}  // namespace
