// Shipped programs as separate peer processes on real multicast and TCP endpoints: velp2p consoles driven
// through their scripted (JSON) interface, in both modes, and the documented example program.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "VELConsoleJsonReader.h"
#include "VELConsoleLine.h"
#include "VELConsoleText.h"
#include "core/VELP2PConfig.h"
#include "support/Blocks.h"
#include "support/ChildProcess.h"
#include "support/FakeEndPoints.h"
#include "support/GoldenVectors.h"
#include "support/NetSandbox.h"
#include "support/TempFile.h"
#include "wire/VELP2PPayloads.h"

namespace {

// What a console must do within: long enough for a sanitized build on a loaded machine; a test that
// passes never waits that long.
const int kWaitMs = 60000;
const int64_t kFailure = -2147467259;  // 0x80004005 as the console prints it
typedef VELConsoleJsonReader Record;
typedef std::function<bool(const Record&)> Match;
typedef std::vector<std::string> Names;

int ExitCode(int status) {
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Match IsEvent(const std::string& event, const std::string& peer = "") {
  return [=](const Record& r) {
    return r.Text("event") == event && (peer.empty() || r.Text("peerName") == peer);
  };
}

Match IsStatus(int64_t status) {
  return [=](const Record& r) {
    return r.Text("event") == "VELP2PChangeStatusNotif" && r.Number("status") == status;
  };
}

std::string Hex(const std::string& bytes) {
  return VELConsoleLine::Hex(bytes.data(), bytes.size());
}

// The console of each test, counted from 1 in the order they start, that runs with streams off
// (VELP2PPersistent=0): the suite is run once with none, and once each with the first and the second.
int g_plainConsole = 0;
int g_consolesStarted = 0;

// One "velp2p --json". A wait looks at every record not taken by an earlier wait before reading more, so a
// record printed while the test waited on another console is not lost, and none satisfies two waits.
class Console {
 public:
  // A login starts the collaboration mode (the peer is login_KVZ), none the standard mode.
  bool Start(const std::string& config, const std::string& login) {
    Names arguments = {"--json", "--config", config};
    if (login.empty())
      arguments.push_back("--standard");
    else
      arguments.insert(arguments.end(), {"--login", login});
    Record init;
    if (!StartRaw(arguments) || !Await(IsEvent("VELP2PInitPeerNotif"), &init))
      return false;
    name = init.Text("peerName");
    return true;
  }
  bool StartRaw(const Names& arguments) {
    std::vector<std::pair<std::string, std::string>> environment = {{"VELP2PTrace", "0"}};
    if (!liveness.empty())
      environment.emplace_back("VELP2PLiveness", liveness);
    if (++g_consolesStarted == g_plainConsole)
      environment.emplace_back("VELP2PPersistent", "0");
    if (!announce.empty())
      environment.emplace_back("VELP2PAnnounce", announce);
    return child.Start(VELTestProgramPath("velp2p"), arguments, environment);
  }
  bool Await(const Match& match, Record* out = nullptr) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (size_t checked = 0;;) {
      for (size_t i = checked; i < child.Lines().size(); ++i) {
        Record record;
        _taken.resize(child.Lines().size(), false);
        if (_taken[i] || !record.Parse(child.Lines()[i]) || !match(record))
          continue;
        _taken[i] = true;
        if (out)
          *out = record;
        return true;
      }
      checked = child.Lines().size();
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      std::string line;
      if (left.count() <= 0 || !child.ReadLine(line, static_cast<int>(left.count())))
        return false;
    }
  }
  bool AwaitEvent(const std::string& event, const std::string& peer, Record* out = nullptr) {
    return Await(IsEvent(event, peer), out);
  }
  // Sends a line and returns the next command record (an empty one on time-out).
  Record Run(const std::string& line) {
    Record reply;
    if (!child.WriteLine(line) || !Await([](const Record& r) { return r.Has("command"); }, &reply))
      return Record();
    return reply;
  }
  int64_t Result(const std::string& line) { return Run(line).Number("result", 1); }
  // The position of the first record seen so far that matches, taken or not; -1 when none does.
  int First(const Match& match) const {
    for (size_t i = 0; i < child.Lines().size(); ++i) {
      Record record;
      if (record.Parse(child.Lines()[i]) && match(record))
        return static_cast<int>(i);
    }
    return -1;
  }
  // How many records seen so far match, taken or not.
  int Count(const Match& match) const {
    int count = 0;
    for (const std::string& line : child.Lines()) {
      Record record;
      count += record.Parse(line) && match(record) ? 1 : 0;
    }
    return count;
  }
  Names Peers() { return Run("GetConnectedPeers").List("peers"); }
  // Quits (by command, closed input or signal), and tells whether the process ended by itself with 0.
  bool Quit(int how = 0) {
    if (how == 0)
      child.WriteLine("quit");
    else if (how == 1)
      child.CloseInput();
    else
      kill(child.Pid(), SIGTERM);
    return Await([](const Record& r) { return r.Text("command") == "quit"; }) &&
           ExitCode(child.WaitExit(kWaitMs)) == 0;
  }

  VELTestChild child;
  std::string name;
  std::string liveness;  // seconds of silence before a peer is checked; empty: the default
  std::string announce;  // "0": the peer does not announce itself again; empty: the default

 private:
  std::vector<bool> _taken;
};

#define AWAIT(console, event, peer)                                                \
  ASSERT_TRUE((console).AwaitEvent(event, peer)) << event << " " << (peer) << "\n" \
                                                 << (console).child.Transcript()

class ConsoleProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    const char* plain = std::getenv("VELP2P_TEST_PLAIN_CONSOLE");
    g_plainConsole = plain ? std::atoi(plain) : 0;
    g_consolesStarted = 0;
    // A multicast port per test, so that a test does not hear the peers of the previous one.
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    _port = VELTestPort(static_cast<int>(std::hash<std::string>()(test) % 60));
    _config = std::make_unique<TempFile>("VELP2PMultiCastEndPoint|224.0.1.85|" + std::to_string(_port) +
                                         "\nVELP2PTCPEndPoint|127.0.0.1|0\n");
  }
  // Starts a collaboration console and waits until it and every console present know each other, and it
  // holds the status each of them answered with: a status change multicast before that answer (by TCP)
  // would be overwritten by it.
  void Join(Console& newcomer, const std::string& login, const std::vector<Console*>& present) {
    ASSERT_TRUE(newcomer.Start(_config->Path(), login)) << newcomer.child.Transcript();
    AWAIT(newcomer, "VELP2PPeerBirthNotif", newcomer.name);
    for (Console* peer : present) {
      AWAIT(*peer, "VELP2PPeerBirthNotif", newcomer.name);
      AWAIT(newcomer, "VELP2PPeerBirthNotif", peer->name);
      AWAIT(newcomer, "VELP2PChangeStatusNotif", peer->name);
    }
  }
  void StartThree() {
    Join(_a, "alpha", {});
    Join(_b, "bravo", {&_a});
    Join(_c, "charlie", {&_a, &_b});
  }

  // Multicasts an awareness announcement of kind, without endpoint records, under sender's name.
  void Forge(const std::string& sender, char kind) {
    ASSERT_TRUE(Multicast(sender, "AwarenessService", std::string(1, kind) + std::string(6, '\0'))) << sender;
  }
  // Multicasts payload to service under sender's name, as a forger does.
  bool Multicast(const std::string& sender, const std::string& service, const std::string& payload,
                 BlockFields fields = BlockFields()) {
    fields.service = service;
    fields.sender = sender;
    const std::vector<char> block = BuildBlock(fields, payload);
    sockaddr_in group{AF_INET, htons(static_cast<uint16_t>(_port)), {inet_addr("224.0.1.85")}, {}};
    const int descriptor = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool sent = !block.empty() &&
                      sendto(descriptor, block.data(), block.size(), 0, reinterpret_cast<sockaddr*>(&group),
                             sizeof(group)) == static_cast<ssize_t>(block.size());
    close(descriptor);
    return sent;
  }

  int _port = 0;
  std::unique_ptr<TempFile> _config;
  Console _a, _b, _c;
};

// A listening socket of the test on every local address; backlog 0 and one connection waiting in it make
// one that never answers a handshake.
struct Listener {
  int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unsigned short port = 0;

  explicit Listener(bool full) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof(address);
    if (bind(descriptor, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(descriptor, 0) != 0 ||
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    port = !full || connect(client, reinterpret_cast<sockaddr*>(&address), length) == 0
               ? ntohs(address.sin_port)
               : 0;
  }
  ~Listener() {
    close(descriptor);
    close(client);
  }
  // How many connections were made to it.
  int Accepted() {
    int accepted = 0;
    for (int connection; (connection = accept4(descriptor, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++accepted)
      close(connection);
    return accepted;
  }
};

// A birth announcement carrying records.
std::string Birth(const std::vector<VELP2PEndPointInfo>& records) {
  const std::vector<char> payload = Announcement('0', 4242, records);
  return std::string(payload.begin(), payload.end());
}

int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

TEST_F(ConsoleProcess, PrintsOnlyRecordsOneForEachCommandUnderItsCanonicalName) {
  ASSERT_TRUE(_a.Start(_config->Path(), "alice"));
  Record first;
  ASSERT_TRUE(first.Parse(_a.child.Lines().at(0)));
  EXPECT_EQ(first.Text("event"), "VELP2PCurrentGroupModifNotif");
  EXPECT_EQ(first.Text("currentGroup"), "/P2PRoot");
  EXPECT_TRUE(first.Has("subGroups") && first.List("subGroups").empty());
  AWAIT(_a, "VELP2PPeerBirthNotif", "alice_KVZ");
  // A blank line is no command: the next record answers the next command.
  ASSERT_TRUE(_a.child.WriteLine("") && _a.child.WriteLine("   "));
  struct Case {
    std::string line;
    const char* name;
    int64_t result;     // kError: an error record, without a result
    const char* field;  // a field to check, and its value as text or number
    std::string text;
  };
  const int64_t kError = 1;
  const Case cases[] = {
      {"GETPEERNAME", "GetPeerName", 0, "peerName", "alice_KVZ"},
      {"getcurrentgroup", "GetCurrentGroup", 0, "currentGroup", "/P2PRoot"},
      {"GetStatus", "GetStatus", 0, "status", "6"},
      // The peer's own birth reset its entry in the status store to 0.
      {"GetStatusAndDesc alice_KVZ", "GetStatusAndDesc", 0, "status", "0"},
      {"GetStatusAndDesc nobody", "GetStatusAndDesc", kFailure, "", ""},
      {"IsPeerConnected alice_KVZ", "IsPeerConnected", 0, "connected", "1"},
      {"SendP2PMessage nobody 1 h d", "SendP2PMessage", kFailure, "", ""},
      {"Frobnicate 1 2", "Frobnicate", kError, "", ""},
      {"getpeername extra", "getpeername", kError, "", ""},
      {"ChangeP2PStatus 2147483648 x", "ChangeP2PStatus", kError, "", ""},
      {"ChangeP2PStatus 1 \"never closed", "ChangeP2PStatus", kError, "", ""},
      {"SendP2PMessage alice_KVZ 1 h " + std::string((1 << 20) + 1, 'x'), "", kError, "",
       ""},                                                  // beyond 1 MiB
      {"InitP2PForRTC", "InitP2PForRTC", kFailure, "", ""},  // already connected
      {"Disconnect", "Disconnect", 0, "", ""},
      {"Refresh", "Refresh", kFailure, "", ""},
      {"InitP2PForRTC", "InitP2PForRTC", 0, "", ""},
      {"Quit", "quit", 0, "", ""},
  };
  for (const Case& c : cases) {
    Record reply = _a.Run(c.line);
    const std::string shown = c.line.substr(0, 40);
    EXPECT_EQ(reply.Text("command"), c.name) << shown << "\n" << _a.child.Transcript();
    EXPECT_EQ(reply.Number("result", kError), c.result) << shown;
    EXPECT_EQ(reply.Text("error").empty(), c.result != kError) << shown;
    if (*c.field && reply.Fields().count(c.field))
      EXPECT_EQ(reply.Fields().at(c.field).text, c.text) << shown;
    else if (*c.field)
      ADD_FAILURE() << shown << " has no " << c.field;
  }
  EXPECT_EQ(ExitCode(_a.child.WaitExit(kWaitMs)), 0);
  EXPECT_EQ(_a.Count([](const Record& r) { return r.Has("command"); }),
            int(sizeof(cases) / sizeof(cases[0])));
  for (const std::string& line : _a.child.Lines()) {
    Record record;
    EXPECT_TRUE(record.Parse(line) && (record.Has("event") || record.Has("command"))) << line;
  }
}

TEST_F(ConsoleProcess, ThreePeersLearnEachOtherAndEveryStatusChangeExactly) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  for (Console* peer : {&_a, &_b, &_c}) {
    EXPECT_EQ(peer->Peers(), Names({"alpha_KVZ", "bravo_KVZ", "charlie_KVZ"})) << peer->child.Transcript();
    for (const char* name : {"alpha_KVZ", "bravo_KVZ", "charlie_KVZ"})
      EXPECT_EQ(peer->Count(IsEvent("VELP2PPeerBirthNotif", name)), 1) << peer->child.Transcript();
  }
  // A newcomer hears each peer present answer with its status, 6 before any change; a peer present keeps a
  // newcomer at 0, unreported, until it changes its status.
  const std::pair<Console*, const char*> held[] = {{&_c, "alpha_KVZ"}, {&_c, "bravo_KVZ"},
                                                   {&_b, "alpha_KVZ"}, {&_b, "charlie_KVZ"},
                                                   {&_a, "bravo_KVZ"}, {&_a, "charlie_KVZ"}};
  for (const auto& entry : held) {
    const bool answered = entry.first == &_c || std::string(entry.second) == "alpha_KVZ";
    EXPECT_EQ(entry.first->Run(std::string("GetStatusAndDesc ") + entry.second).Number("status", -1),
              answered ? 6 : 0);
    EXPECT_EQ(entry.first->Count(IsEvent("VELP2PChangeStatusNotif", entry.second)), answered ? 1 : 0);
  }

  // ChangeP2PStatus -7 "Ça \"hi\" C:\dir \\ ✓"  carries: Ça "hi" C:\dir \ ✓
  const std::string desc =
      "\xC3\x87"
      "a \"hi\" C:\\dir \\ \xE2\x9C\x93";
  ASSERT_EQ(_a.Result("ChangeP2PStatus -7 \"\xC3\x87"
                      "a \\\"hi\\\" C:\\dir \\\\ \xE2\x9C\x93\""),
            0);
  // The sender's own values change only when its multicast comes back.
  for (Console* peer : {&_b, &_c, &_a}) {
    Record event;
    ASSERT_TRUE(peer->Await(IsStatus(-7), &event)) << peer->child.Transcript();
    EXPECT_EQ(event.Text("peerName"), "alpha_KVZ");
    EXPECT_EQ(event.Text("description"), desc);
  }
  EXPECT_EQ(_a.Run("GetStatus").Number("status"), -7);
  EXPECT_EQ(_a.Run("GetDesc").Text("description"), desc);
  for (Console* peer : {&_b, &_c})
    EXPECT_EQ(peer->Run("GetStatusAndDesc alpha_KVZ").Text("description"), desc);
  // Its own entry in its status store is left as its birth made it.
  EXPECT_EQ(_a.Run("GetStatusAndDesc alpha_KVZ").Number("status", -1), 0);

  // The longest description still fits one datagram; one byte more is refused by the sender, though it
  // holds fewer characters.
  ASSERT_EQ(_c.Result("ChangeP2PStatus 1 " + std::string(926, 'x')), 0);
  ASSERT_EQ(_c.Result("ChangeP2PStatus 2 " + std::string(925, 'x') + "\xC3\xA9"), kFailure);
  ASSERT_EQ(_c.Result("ChangeP2PStatus 3 \"\""), 0);
  for (Console* peer : {&_a, &_b}) {
    Record event;
    for (int status : {1, 3}) {
      ASSERT_TRUE(peer->Await(IsStatus(status), &event)) << peer->child.Transcript();
      EXPECT_EQ(event.Text("description"), status == 1 ? std::string(926, 'x') : "");
    }
    EXPECT_EQ(peer->Count(IsStatus(2)), 0);
  }
}

// The worst moment: alice changes her status as soon as she sees bob born, while her answer to that birth,
// which carries her previous status, is still on its way to him.
TEST_F(ConsoleProcess, StatusChangedTheMomentAPeerIsBornIsTheOneItKeeps) {
  ASSERT_NO_FATAL_FAILURE(Join(_a, "alice", {}));
  for (int run = 0; run < 40; ++run) {
    Console bob;
    ASSERT_TRUE(bob.Start(_config->Path(), "bob" + std::to_string(run))) << bob.child.Transcript();
    AWAIT(_a, "VELP2PPeerBirthNotif", bob.name);
    const std::string desc = "back in " + std::to_string(run);
    ASSERT_EQ(_a.Result("ChangeP2PStatus 3 \"" + desc + "\""), 0);
    // Blocks to one peer arrive in the order they were queued: once this message is in, so is the answer.
    ASSERT_EQ(_a.Result("SendP2PMessage " + bob.name + " 1 h d"), 0);
    AWAIT(bob, "VELP2PMessageReceivedNotif", _a.name);
    ASSERT_TRUE(bob.Await(IsStatus(3))) << bob.child.Transcript();
    Record last, stored = bob.Run("GetStatusAndDesc " + _a.name);
    for (const std::string& line : bob.child.Lines()) {  // bob hears no status but alice's
      if (line.find("VELP2PChangeStatusNotif") != std::string::npos)
        last.Parse(line);
    }
    EXPECT_TRUE(stored.Number("status") == 3 && stored.Text("description") == desc &&
                last.Number("status") == 3 && last.Text("description") == desc)
        << "run " << run << "\n"
        << bob.child.Transcript();
    EXPECT_TRUE(bob.Quit());
    AWAIT(_a, "VELP2PPeerDeathNotif", bob.name);
  }
}

TEST_F(ConsoleProcess, ForgedNameInUseAndNamelessBirthsChangeNothing) {
  ASSERT_NO_FATAL_FAILURE(Join(_a, "alice", {}));
  ASSERT_NO_FATAL_FAILURE(Forge(_a.name, '3'));  // the name-in-use answer, but by multicast
  ASSERT_NO_FATAL_FAILURE(Forge("", '0'));
  ASSERT_NO_FATAL_FAILURE(Forge("mallory", '0'));  // datagrams of one sender arrive in order
  AWAIT(_a, "VELP2PPeerBirthNotif", "mallory");
  EXPECT_EQ(_a.Peers(), Names({"alice_KVZ", "mallory"}));
  EXPECT_EQ(_a.Count(IsEvent("VELP2PClosePeerNotif")), 0) << _a.child.Transcript();
}

// A second console under a login in use is told so and closes; its departure removes nobody, neither the
// first console from its own list nor from a witness's.
TEST_F(ConsoleProcess, ASecondConsoleUnderALoginInUseIsToldAndItsDepartureRemovesNobody) {
  ASSERT_NO_FATAL_FAILURE(Join(_a, "same", {}));
  ASSERT_NO_FATAL_FAILURE(Join(_b, "witness", {&_a}));
  Console second;
  ASSERT_TRUE(second.Start(_config->Path(), "same")) << second.child.Transcript();
  Record closed;
  ASSERT_TRUE(second.AwaitEvent("VELP2PClosePeerNotif", "same_KVZ", &closed)) << second.child.Transcript();
  EXPECT_EQ(closed.Text("reason"), "name in use");
  // Its death left before it could quit; a datagram sent then is read after it.
  EXPECT_TRUE(second.Quit());
  const std::vector<char> status = VELP2PWriteStatus(kVELP2PStatusChange, 9, "");
  ASSERT_TRUE(Multicast("pacer", "StatusService", std::string(status.begin(), status.end())));
  for (Console* peer : {&_a, &_b})
    ASSERT_TRUE(peer->Await(IsStatus(9))) << peer->child.Transcript();
  EXPECT_EQ(_a.Peers(), Names({"same_KVZ", "witness_KVZ"}));
  EXPECT_EQ(_b.Peers(), Names({"same_KVZ", "witness_KVZ"}));
  EXPECT_EQ(_a.Count(IsEvent("VELP2PPeerDeathNotif")) + _b.Count(IsEvent("VELP2PPeerDeathNotif")), 0);
}

TEST_F(ConsoleProcess, MessagesArriveByteExactAtTheirTargetOnly) {
  ASSERT_NO_FATAL_FAILURE(StartThree());
  std::string all, big(6000, 'z');  // a 12 KiB hex argument, longer than the first read of a TCP message
  for (int i = 0; i < 256; ++i)
    all += static_cast<char>(i);
  for (size_t i = 0; i < big.size(); i += 7)
    big[i] = static_cast<char>(i % 3 == 0 ? 0 : 'a' + i % 26);
  const std::tuple<std::string, int, std::string, std::string> cases[] = {
      {"7 \"caf\xC3\xA9 menu\" \"hello bravo\"", 7, "caf\xC3\xA9 menu", "hello bravo"},
      {"255 \"\" hex:" + Hex(all), 255, "", all},
      {"1 big hex:" + Hex(big), 1, "big", big},
  };
  for (const auto& [arguments, type, header, data] : cases) {
    ASSERT_EQ(_a.Result("SendP2PMessage bravo_KVZ " + arguments), 0);
    Record message;
    ASSERT_TRUE(_b.AwaitEvent("VELP2PMessageReceivedNotif", "alpha_KVZ", &message)) << _b.child.Transcript();
    EXPECT_EQ(message.Number("type"), type);
    EXPECT_EQ(message.Text("header"), header);
    EXPECT_EQ(message.Number("length"), static_cast<int64_t>(data.size()));
    EXPECT_EQ(message.Text("dataHex"), Hex(data));
  }
  // Many messages to one peer all arrive, in the order they were sent.
  const int kMany = 300;
  for (int i = 1; i <= kMany; ++i)
    ASSERT_EQ(_a.Result("SendP2PMessage bravo_KVZ 2 \"\" \"" + std::to_string(i) + "\""), 0);
  for (int i = 1; i <= kMany; ++i) {
    Record message;
    ASSERT_TRUE(_b.AwaitEvent("VELP2PMessageReceivedNotif", "alpha_KVZ", &message)) << i;
    ASSERT_EQ(message.Text("dataHex"), Hex(std::to_string(i)));
  }
  // The next message to charlie shows that the others went to bravo only.
  ASSERT_EQ(_a.Result("SendP2PMessage charlie_KVZ 7 \"\" hex:0102"), 0);
  AWAIT(_c, "VELP2PMessageReceivedNotif", "alpha_KVZ");
  EXPECT_EQ(_c.Count(IsEvent("VELP2PMessageReceivedNotif")), 1) << _c.child.Transcript();
  EXPECT_EQ(_a.Count(IsEvent("VELP2PMessageReceivedNotif")), 0) << _a.child.Transcript();
}

// That a session reaches the other party and the opener only is pinned by the session service's test.
TEST_F(ConsoleProcess, SessionEventsNameTheOtherPartyOnBothSides) {
  ASSERT_NO_FATAL_FAILURE(Join(_a, "alpha", {}));
  ASSERT_NO_FATAL_FAILURE(Join(_b, "bravo", {&_a}));
  for (const std::string command : {"OpenP2PSession", "CloseP2PSession"}) {
    ASSERT_EQ(_a.Result(command + " bravo_KVZ -3"), 0);
    for (auto [console, other] : {std::make_pair(&_a, "bravo_KVZ"), std::make_pair(&_b, "alpha_KVZ")}) {
      Record event;
      ASSERT_TRUE(console->AwaitEvent("VELP2PSessionNotif", other, &event)) << console->child.Transcript();
      EXPECT_EQ(event.Number("sessionType"), -3);
      EXPECT_EQ(event.Number("eventType"), command[0] == 'O' ? '0' : '1');
    }
  }
  EXPECT_EQ(_a.Count(IsEvent("VELP2PSessionNotif")) + _b.Count(IsEvent("VELP2PSessionNotif")), 4);
}

TEST_F(ConsoleProcess, DeparturesAreAnnouncedButWithoutChecksAKilledPeerStaysListed) {
  _a.liveness = "0";
  ASSERT_NO_FATAL_FAILURE(StartThree());
  // bravo quits: its records end with its closing notification and the quit record; the others hear it.
  EXPECT_TRUE(_b.Quit()) << _b.child.Transcript();
  const Names& lines = _b.child.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[lines.size() - 2].find("VELP2PClosePeerNotif"), std::string::npos);
  AWAIT(_a, "VELP2PPeerDeathNotif", "bravo_KVZ");
  AWAIT(_c, "VELP2PPeerDeathNotif", "bravo_KVZ");
  // charlie is killed: nobody hears of it, and alpha does not check.
  _c.child.Kill();
  // A message to it is queued, and its loss is told once, later.
  ASSERT_EQ(_a.Result("SendP2PMessage charlie_KVZ 1 \"\" lost"), 0);
  Record lost;
  ASSERT_TRUE(_a.AwaitEvent("VELP2PSendFailedNotif", "charlie_KVZ", &lost)) << _a.child.Transcript();
  EXPECT_EQ(lost.Text("service"), "VELP2PChatService");
  EXPECT_EQ(lost.Text("reason"), "refused");
  EXPECT_EQ(lost.Text("address").rfind("127.0.0.1:", 0), 0u) << lost.Text("address");
  Console delta;
  ASSERT_NO_FATAL_FAILURE(Join(delta, "delta", {&_a}));
  EXPECT_EQ(_a.Peers(), Names({"alpha_KVZ", "charlie_KVZ", "delta_KVZ"}));
  // delta disconnects and stays running.
  EXPECT_EQ(delta.Result("Disconnect"), 0);
  AWAIT(_a, "VELP2PPeerDeathNotif", "delta_KVZ");
  EXPECT_EQ(_a.Peers(), Names({"alpha_KVZ", "charlie_KVZ"}));
  EXPECT_EQ(_a.Result("GetStatusAndDesc delta_KVZ"), kFailure);
  EXPECT_EQ(delta.Peers(), Names());
  EXPECT_EQ(delta.Result("OpenP2PSession alpha_KVZ 1"), kFailure);
  EXPECT_EQ(_a.Count(IsEvent("VELP2PPeerDeathNotif")), 2) << _a.child.Transcript();
  // The end of the input and a termination signal leave the network as properly as quit does.
  EXPECT_TRUE(delta.Quit(1));
  Console echo;
  ASSERT_NO_FATAL_FAILURE(Join(echo, "echo", {&_a}));
  EXPECT_TRUE(echo.Quit(2));
  AWAIT(_a, "VELP2PPeerDeathNotif", "echo_KVZ");
  EXPECT_TRUE(_a.Quit());
  EXPECT_EQ(_a.Count(IsEvent("VELP2PSendFailedNotif")), 1) << _a.child.Transcript();
}

// A forged birth listing forbidden addresses, then many that never answer, then good ones: the answers go
// to the first usable address only, and the loop stays responsive meanwhile: it tells of the birth and
// answers a command before the connection deadline of the silent address runs out.
TEST_F(ConsoleProcess, ForgedBirthCostsOneDestinationAndNoStall) {
  ASSERT_NO_FATAL_FAILURE(Join(_a, "alpha", {}));
  Listener any(false), silent(true), good(false);
  ASSERT_TRUE(any.port && silent.port && good.port);
  std::vector<VELP2PEndPointInfo> records = {UnicastRecord("0.0.0.0", any.port),
                                             UnicastRecord("224.0.0.1", any.port),
                                             UnicastRecord("255.255.255.255", any.port)};
  records.insert(records.end(), 90, UnicastRecord("127.0.0.1", silent.port));
  records.insert(records.end(), 5, UnicastRecord("127.0.0.1", good.port));
  ASSERT_TRUE(Multicast("mallory_KVZ", "AwarenessService", Birth(records)));
  auto sent = std::chrono::steady_clock::now();
  AWAIT(_a, "VELP2PPeerBirthNotif", "mallory_KVZ");
  const int64_t answered = MsSince(sent);
  auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(_a.Peers(), Names({"alpha_KVZ", "mallory_KVZ"}));
  const int64_t latency = MsSince(asked);
  RecordProperty("birth_to_notification_ms", static_cast<int>(answered));
  RecordProperty("command_latency_ms", static_cast<int>(latency));
  // Both answers wait on the silent address until its deadline; nothing went anywhere else.
  for (int failures = 0; failures < 2; ++failures)
    ASSERT_TRUE(_a.AwaitEvent("VELP2PSendFailedNotif", "mallory_KVZ")) << _a.child.Transcript();
  EXPECT_LT(_a.First([](const Record& r) { return r.Text("command") == "GetConnectedPeers"; }),
            _a.First(IsEvent("VELP2PSendFailedNotif")))
      << _a.child.Transcript();
  EXPECT_EQ(any.Accepted() + good.Accepted(), 0);
  EXPECT_TRUE(_a.Quit());
}

TEST_F(ConsoleProcess, AKilledPeerExpiresAndComesBackReachableUnderItsName) {
  _a.liveness = "1";    // expires charlie within about a second
  _b.liveness = "600";  // still holds charlie's first record when it comes back
  _c.liveness = "600";
  Console old;  // checks nobody and announces itself once, as a peer without either; alpha checks it
  old.liveness = "0";
  old.announce = "0";
  ASSERT_NO_FATAL_FAILURE(StartThree());
  ASSERT_NO_FATAL_FAILURE(Join(old, "delta", {&_a, &_b, &_c}));
  auto aboutAlpha = [](const Record& r) { return r.Text("peerName") == "alpha_KVZ"; };
  const int heardOfAlpha = old.Count(aboutAlpha);
  const auto killed = std::chrono::steady_clock::now();
  _c.child.Kill();
  Record event;
  ASSERT_TRUE(_a.AwaitEvent("VELP2PPeerDeathNotif", "charlie_KVZ", &event)) << _a.child.Transcript();
  EXPECT_EQ(event.Text("reason"), "expired");
  RecordProperty("killed_to_expired_ms", static_cast<int>(MsSince(killed)));
  EXPECT_EQ(_b.Peers(), Names({"alpha_KVZ", "bravo_KVZ", "charlie_KVZ", "delta_KVZ"}));
  // Restarted under its name on another port: bravo finds the old record dead and replaces it.
  Console again;
  again.liveness = "600";
  ASSERT_NO_FATAL_FAILURE(Join(again, "charlie", {&_a, &_b}));
  ASSERT_TRUE(_b.AwaitEvent("VELP2PPeerDeathNotif", "charlie_KVZ", &event)) << _b.child.Transcript();
  EXPECT_EQ(event.Text("reason"), "restarted");
  // delta, which does not check, keeps the dead record: its messages to charlie fail until charlie leaves.
  for (Console* sender : {&_a, &_b}) {
    ASSERT_EQ(sender->Result("SendP2PMessage charlie_KVZ 1 h d"), 0);
    AWAIT(again, "VELP2PMessageReceivedNotif", sender->name);
  }
  // The peer without checks works with the others, and the probes it took showed it nothing.
  EXPECT_EQ(old.Count(aboutAlpha), heardOfAlpha) << old.child.Transcript();
  ASSERT_EQ(old.Result("SendP2PMessage alpha_KVZ 1 h d"), 0);
  AWAIT(_a, "VELP2PMessageReceivedNotif", "delta_KVZ");
  EXPECT_EQ(_a.Peers(), Names({"alpha_KVZ", "bravo_KVZ", "charlie_KVZ", "delta_KVZ"}));
}

TEST_F(ConsoleProcess, LastLineWithoutLineEndStillRunsAtEndOfInput) {
  ASSERT_TRUE(
      _a.child.Start("/bin/sh",
                     {"-c", "printf %s 'GetPeerName' | exec \"$0\" --json --login carol --config \"$1\"",
                      VELTestProgramPath("velp2p"), _config->Path()},
                     {{"VELP2PTrace", "0"}}));
  Record reply;
  ASSERT_TRUE(_a.Await([](const Record& r) { return r.Text("command") == "GetPeerName"; }, &reply));
  EXPECT_EQ(reply.Text("peerName"), "carol_KVZ");
  EXPECT_TRUE(_a.Quit(1)) << _a.child.Transcript();
}

TEST_F(ConsoleProcess, StandardPeersMoveThroughTheGroupTreeAndFindEachOther) {
  Console& w = _a;  // stays in the root and searches
  Console& y = _b;  // goes to /P2PRoot/Design, comes back
  Console& x = _c;  // goes to /P2PRoot/Design, then /P2PRoot/Design/Team1
  for (Console* peer : {&w, &y, &x})
    ASSERT_TRUE(peer->Start(_config->Path(), "")) << peer->child.Transcript();
  ASSERT_TRUE(w.name != y.name && y.name != x.name && w.name != x.name);
  for (Console* peer : {&w, &y, &x}) {
    for (Console* other : {&w, &y, &x})
      AWAIT(*peer, "VELP2PPeerCreatNotif", other->name);
  }
  // No awareness, chat or session service in this mode: nobody is a connected peer.
  EXPECT_EQ(w.Peers(), Names());
  EXPECT_EQ(w.Result("SendP2PMessage " + y.name + " 1 h d"), kFailure);
  EXPECT_EQ(w.Result("OpenP2PSession " + y.name + " 1"), kFailure);
  EXPECT_EQ(w.Result("LeaveCurrentGroup"), kFailure);  // the root cannot be left

  // Y moves to Design: the root sees it leave and learns the sub-group.
  ASSERT_EQ(y.Result("CreateAndOrJoinSubGroup Design"), 0);
  EXPECT_EQ(y.Run("GetCurrentGroup").Text("currentGroup"), "/P2PRoot/Design");
  AWAIT(w, "VELP2PPeerDestructNotif", y.name);
  AWAIT(x, "VELP2PPeerDestructNotif", y.name);
  ASSERT_TRUE(w.Await([](const Record& r) {
    return r.Text("event") == "VELP2PSubGroupModifNotif" && r.List("subGroups") == Names({"Design"});
  }));
  EXPECT_EQ(w.Run("GetSubGroups").List("subGroups"), Names({"Design"}));

  // X follows, then moves on to Team1: Y, in Design, learns that sub-group from X's publication.
  ASSERT_EQ(x.Result("CreateAndOrJoinSubGroup Design"), 0);
  AWAIT(y, "VELP2PPeerCreatNotif", x.name);
  AWAIT(x, "VELP2PPeerCreatNotif", y.name);
  AWAIT(w, "VELP2PPeerDestructNotif", x.name);
  ASSERT_EQ(x.Result("CreateAndOrJoinSubGroup Team1"), 0);
  AWAIT(y, "VELP2PPeerDestructNotif", x.name);
  ASSERT_TRUE(y.Await([](const Record& r) {
    return r.Text("event") == "VELP2PSubGroupModifNotif" && r.Text("currentGroup") == "/P2PRoot/Design" &&
           r.List("subGroups") == Names({"Team1"});
  })) << y.child.Transcript();

  // A search from the root finds every peer with its group; every peer records the searcher.
  ASSERT_EQ(w.Result("CrossGroupPeerSearch"), 0);
  AWAIT(w, "VELP2PPeerSearchNotif", w.name);
  for (auto [peer, group] :
       {std::make_pair(&y, "/P2PRoot/Design"), std::make_pair(&x, "/P2PRoot/Design/Team1")}) {
    Record found;
    ASSERT_TRUE(w.AwaitEvent("VELP2PSearchResultNotif", peer->name, &found)) << w.child.Transcript();
    EXPECT_EQ(found.Text("groupName"), group);
    ASSERT_TRUE(peer->AwaitEvent("VELP2PCrossGroupPeerCreatNotif", w.name, &found))
        << peer->child.Transcript();
    EXPECT_EQ(found.Text("groupName"), "/P2PRoot");
  }
  // Found in other groups, they are search results only: the root does not list them as its own peers.
  EXPECT_EQ(w.Result("GetCurrentGroup"), 0);
  EXPECT_EQ(w.Count(IsEvent("VELP2PPeerCreatNotif", x.name)), 1) << w.child.Transcript();

  // Y comes back to the root and W sees it; then W quits and Y drops it.
  ASSERT_EQ(y.Result("LeaveCurrentGroup"), 0);
  EXPECT_EQ(y.Run("GetCurrentGroup").Text("currentGroup"), "/P2PRoot");
  AWAIT(y, "VELP2PPeerCreatNotif", w.name);
  EXPECT_TRUE(w.Quit()) << w.child.Transcript();
  AWAIT(y, "VELP2PPeerDestructNotif", w.name);
  EXPECT_TRUE(y.Quit() && x.Quit());
}

TEST_F(ConsoleProcess, StartUpFailuresAndOptions) {
  TempFile badEndPoint("VELP2PTCPEndPoint|999.1.1.1|0\n");  // not a dotted address: TCP cannot open
  const std::pair<Names, int> cases[] = {
      {{"--json", "--login", "x", "--config", "/nonexistent/velp2p.cfg"}, 1},
      {{"--json", "--login", "x", "--config", badEndPoint.Path()}, 1},
      {{"--frobnicate"}, 2},
      {{"--help"}, 0},
  };
  for (const auto& [arguments, code] : cases) {
    Console console;
    ASSERT_TRUE(console.StartRaw(arguments));
    std::string line, text;
    while (console.child.ReadLine(line, kWaitMs))
      text += line + "\n";
    EXPECT_EQ(ExitCode(console.child.WaitExit(kWaitMs)), code) << arguments[0];
    // A failed start-up fires nothing; help names every variable.
    EXPECT_TRUE(code != 1 || text.empty()) << text;
    for (const char* variable :
         {"VELP2PConfig", "VELP2PLogin", "VELP2PPorts", "VELP2PHTTPEndPoint", "VELP2PTrace"})
      EXPECT_TRUE(code != 0 || text.find(variable) != std::string::npos) << variable;
  }
}

TEST_F(ConsoleProcess, ExampleProgramsRunToCompletionAndSayWhatTheyDid) {
  // The loop-integration example publishes its status from a worker thread through Post.
  const std::pair<const char*, Names> programs[] = {
      {"velp2p-example",
       {"started as docs_KVZ\n", "online: docs_KVZ\n",
        "status of docs_KVZ: 3 \"writing the documentation\"\n", "1 peer(s) online: docs_KVZ\n",
        "disconnected: ok\n"}},
      {"velp2p-pollloop", {"posted status heard: yes\n"}},
  };
  for (const auto& [program, said] : programs) {
    VELTestChild example;
    ASSERT_TRUE(example.Start(VELTestProgramPath(program), {},
                              {{"VELP2PConfig", _config->Path()}, {"VELP2PLogin", "docs"}}));
    std::string output, line;
    while (example.ReadLine(line, kWaitMs * 3))
      output += line + "\n";
    EXPECT_EQ(ExitCode(example.WaitExit(kWaitMs)), 0) << program << output;
    for (const std::string& text : said)
      EXPECT_NE(output.find(text), std::string::npos) << program << output;
  }
}

// The watch that follows bob has all the time it needs and is ended by a signal; another shows that the
// time given ends a watch by itself.
TEST_F(ConsoleProcess, WatchSeesAConsoleArriveChangeAndLeaveThenEndsByItself) {
  VELTestChild watch, brief;
  ASSERT_TRUE(watch.Start(VELTestProgramPath("velp2p"),
                          {"watch", "--config", _config->Path(), "--timeout", "600"},
                          {{"VELP2PTrace", "0"}}));
  ASSERT_TRUE(brief.Start(VELTestProgramPath("velp2p"),
                          {"watch", "--config", _config->Path(), "--timeout", "1"}, {{"VELP2PTrace", "0"}}));
  Join(_b, "bob", {});
  EXPECT_TRUE(watch.WaitForPrefix("+ bob_KVZ", kWaitMs)) << watch.Transcript();
  EXPECT_EQ(_b.Result("/status 3 lunch"), 0);
  EXPECT_TRUE(watch.WaitForPrefix("= bob_KVZ 3 (away) \"lunch\"", kWaitMs)) << watch.Transcript();
  EXPECT_TRUE(_b.Quit());
  EXPECT_TRUE(watch.WaitForPrefix("- bob_KVZ", kWaitMs)) << watch.Transcript();
  kill(watch.Pid(), SIGTERM);
  EXPECT_EQ(ExitCode(watch.WaitExit(kWaitMs)), 0);
  EXPECT_EQ(ExitCode(brief.WaitExit(kWaitMs)), 0) << brief.Transcript();
}

TEST_F(ConsoleProcess, PingGetsOneAnswerPerRequestFromAConsoleAndFailsWithoutPeer) {
  Join(_b, "bob", {});
  VELTestChild ping;
  ASSERT_TRUE(ping.Start(
      VELTestProgramPath("velp2p"),
      {"ping", "bob", "-c", "3", "-i", "0.05", "--json", "--config", _config->Path(), "--timeout", "20"},
      {{"VELP2PTrace", "0"}}));
  std::string line;
  ASSERT_TRUE(ping.WaitForPrefix("{\"ping\":\"summary\"", 20000, &line)) << ping.Transcript();
  Record summary;
  ASSERT_TRUE(summary.Parse(line));
  EXPECT_EQ(summary.Text("peerName"), "bob_KVZ");
  EXPECT_EQ(summary.Number("sent", 0), 3);
  EXPECT_EQ(summary.Number("received", 0), 3);
  EXPECT_FALSE(summary.Text("medianMs").empty());
  EXPECT_EQ(ExitCode(ping.WaitExit(kWaitMs)), 0);

  VELTestChild lost;
  ASSERT_TRUE(lost.Start(VELTestProgramPath("velp2p"),
                         {"ping", "nobody", "--config", _config->Path(), "--timeout", "1"},
                         {{"VELP2PTrace", "0"}}));
  EXPECT_EQ(ExitCode(lost.WaitExit(kWaitMs)), 1);
}

TEST_F(ConsoleProcess, SpyDecodesABirthAndAStatusChangeAndIsNeverHeard) {
  Console spy;
  ASSERT_TRUE(spy.StartRaw({"spy", "--json", "--config", _config->Path(), "--timeout", "600"}));
  ASSERT_TRUE(spy.Await([](const Record& r) { return r.Has("listening"); })) << spy.child.Transcript();
  Join(_b, "bob", {});
  Record birth;
  ASSERT_TRUE(spy.Await(
      [](const Record& r) {
        return r.Text("serviceName") == "AwarenessService" && r.Text("kind") == "birth" &&
               r.Number("pid") > 0;
      },
      &birth))
      << spy.child.Transcript();
  // Its TCP record says whether it takes streams: it does unless it is the console started with them off.
  const std::string tcp = "tcp 127.0.0.1:";
  const Names records = birth.List("endpoints");
  ASSERT_EQ(records.size(), 2u) << spy.child.Transcript();
  EXPECT_EQ(records[1].compare(0, tcp.size(), tcp), 0) << records[1];
  EXPECT_EQ(records[1].find(" streams") != std::string::npos, g_plainConsole != 2) << records[1];
  EXPECT_EQ(_b.Result("/status 3 lunch"), 0);
  ASSERT_TRUE(spy.Await([](const Record& r) {
    return r.Text("kind") == "change" && r.Text("statusName") == "away" && r.Text("description") == "lunch";
  })) << spy.child.Transcript();
  kill(spy.child.Pid(), SIGTERM);
  EXPECT_EQ(ExitCode(spy.child.WaitExit(kWaitMs)), 0);
  // Only bob's datagrams: the spy sent none it could have heard itself.
  EXPECT_EQ(spy.Count([](const Record& r) { return r.Has("bytes"); }), spy.Count([](const Record& r) {
    return r.Text("senderName") == "bob_KVZ" && !r.Has("malformed");
  }));

  const std::vector<uint8_t> block = LoadGolden("spy_chat_tcp");
  TempFile captured(std::string(block.begin(), block.end()));
  VELTestChild read;
  ASSERT_TRUE(read.Start(VELTestProgramPath("velp2p"), {"spy", "--read", captured.Path()}, {}));
  EXPECT_TRUE(read.WaitForLine(
      [](const std::string& line) {
        return line.find("] alice_KVZ VELP2PChatService / message type 7, header \"abc\", 5 data bytes") !=
               std::string::npos;
      },
      kWaitMs))
      << read.Transcript();
  EXPECT_EQ(ExitCode(read.WaitExit(kWaitMs)), 0);
}

// Peers choose their names, descriptions, headers, data and group names: whatever bytes those hold, a console
// for people shows them visibly and puts no control character on the terminal.
TEST_F(ConsoleProcess, HumanOutputCarriesNoControlCharacterAPeerSent) {
  const std::string names[] = {"esc\x1b[31mRED", "title\x1b]0;owned\x07", "cr\rdel\x7f",
                               "c1\xC2\x9B"
                               "2J\xC2\x85",
                               "bad\xFF\xE2\x82"
                               "utf8 caf\xC3\xA9"};
  const char kText[] = "nul\0 esc\x1b[2J bel\x07 cr\r lf\n del\x7f c1\xC2\x9B bad\xC0\xAF";
  const std::string text(kText, sizeof(kText) - 1);
  const auto payload = [](const std::vector<char>& bytes) { return std::string(bytes.begin(), bytes.end()); };
  for (const bool standard : {false, true}) {
    VELTestChild console;
    Names arguments = {"--config", _config->Path(), "--login", "victim"};
    if (standard)
      arguments = {"--config", _config->Path(), "--standard"};
    ASSERT_TRUE(console.Start(VELTestProgramPath("velp2p"), arguments, {{"VELP2PTrace", "0"}}));
    const auto seen = [&console](const std::string& text) {
      return console.WaitForLine(
          [&](const std::string& line) { return line.find(text) != std::string::npos; }, kWaitMs);
    };
    ASSERT_TRUE(seen(standard ? "now in group /P2PRoot" : "victim_KVZ is online")) << console.Transcript();
    // In the root group, and with no TCP endpoint to answer.
    BlockFields root;
    root.group = "/P2PRoot";
    root.otherAddress = 0;
    root.otherPort = 0;
    for (const std::string& name : names) {
      if (standard) {
        ASSERT_TRUE(Multicast(name, "PeerService", payload(PeerMessage('0', {})), root));
        ASSERT_TRUE(Multicast("x", "GroupService", payload(VELP2PWriteGroupComponent(name)), root));
        ASSERT_TRUE(seen(VELConsoleText::Shown(name) + " is in the group")) << console.Transcript();
      } else {
        ASSERT_NO_FATAL_FAILURE(Forge(name, '0'));
        ASSERT_TRUE(Multicast(name, "StatusService", payload(VELP2PWriteStatus('0', 3, text))));
        ASSERT_TRUE(Multicast(name, "VELP2PChatService",
                              payload(VELP2PWriteChat(1, text, kText, sizeof(kText) - 1))));
        ASSERT_TRUE(seen(VELConsoleText::Shown(name) + " (type 1")) << console.Transcript();
      }
    }
    ASSERT_TRUE(console.WriteLine(standard ? "/group" : "GetConnectedPeers") && console.WriteLine("/peers") &&
                console.WriteLine("quit"));
    const int status = console.WaitExit(kWaitMs);
    EXPECT_EQ(ExitCode(status), 0) << status << "\n" << console.Transcript();
    std::string line;
    while (console.ReadLine(line, kWaitMs)) {
    }
    int raw = 0;
    for (const std::string& printed : console.Lines()) {
      for (size_t i = 0; i < printed.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(printed[i]);
        raw += c < 0x20 || c == 0x7F || (c == 0xC2 && (printed[i + 1] & 0xE0) == 0x80) ? 1 : 0;
      }
      EXPECT_EQ(VELConsoleText::ValidUtf8(printed), printed);
    }
    EXPECT_EQ(raw, 0) << console.Transcript();
    // The peers' own words are all there, written out.
    const std::string all = console.Transcript();
    for (const std::string& name : names)
      EXPECT_NE(all.find(VELConsoleText::Shown(name)), std::string::npos) << VELConsoleText::Shown(name);
    EXPECT_TRUE(standard || all.find(VELConsoleText::Quoted(text)) != std::string::npos) << all;
  }
}
