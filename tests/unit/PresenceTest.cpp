// Presence that heals: what a peer does with the announcements others repeat, whom it checks when one falls
// silent, how it lets newcomers into a crowded directory, and when its loop wakes. The peer runs on the fake
// endpoints with a real loop, so that its timers and checks run; checks reach real listeners on 127/8.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "core/VELP2PAnnounceSchedule.h"
#include "core/VELP2PAnnouncer.h"
#include "core/VELP2PLiveness.h"
#include "core/VELP2POptions.h"
#include "core/VELP2PPresence.h"
#include "core/VELP2PPresenceSettings.h"
#include "host/VELNetworkWatch.h"
#include "support/NetSandbox.h"
#include "unit/ServiceTestSupport.h"
#include "velp2p/VELApplication.h"

using namespace svctest;

namespace {

const int kDeadlineMs = 30000;  // what the loop may take for something due in about a second, under load

uint32_t Address(const char* dotted) {
  return inet_addr(dotted);
}

// Accepts connections on one address and port and counts them.
struct Listener {
  int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  unsigned short port = 0;
  int accepted = 0;

  Listener(const char* dotted, unsigned short wanted) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = Address(dotted);
    address.sin_port = htons(wanted);
    socklen_t length = sizeof(address);
    if (bind(descriptor, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(descriptor, 16) == 0 &&
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port = ntohs(address.sin_port);
  }
  ~Listener() { Close(); }
  int Accepted() {
    for (int connection; descriptor >= 0 && (connection = accept4(descriptor, nullptr, nullptr, 0)) >= 0;) {
      close(connection);
      ++accepted;
    }
    return accepted;
  }
  void Close() {
    if (descriptor >= 0)
      close(descriptor);
    descriptor = -1;
  }
};

// The peer of a test starts with presence switched by these variables, on a loop of its own.
class PresenceEnvironment {
 public:
  PresenceEnvironment(const char* liveness, const char* announce) {
    setenv("VELP2PLiveness", liveness, 1);
    setenv("VELP2PAnnounce", announce, 1);
  }
  ~PresenceEnvironment() {
    unsetenv("VELP2PLiveness");
    unsetenv("VELP2PAnnounce");
  }
};

class CollaborationPresence : public CollaborationTest {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    CollaborationTest::SetUp();
  }
  bool RunUntil(const std::function<bool()>& done) { return _loop.RunUntil(done, kDeadlineMs); }
  bool Logged(const std::string& line) {
    return std::find(_log->Lines().begin(), _log->Lines().end(), line) != _log->Lines().end();
  }
  // Whether the fake endpoints were asked to multicast a status of kind '2'.
  int Announcements() {
    return static_cast<int>(std::count_if(FakeSent().begin(), FakeSent().end(), [](const SentMessage& sent) {
      return sent.toGroup && sent.service == "StatusService" && !sent.payload.empty() &&
             sent.payload[0] == '2';
    }));
  }
};

class StandardPresence : public StandardModeTest {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    StandardModeTest::SetUp();
  }
};

}  // namespace

TEST_F(CollaborationPresence, APeerExpiredForSilenceComesBackWithItsNextAnnouncement) {
  PresenceEnvironment presence("0.5", "0");
  Start();
  // Heard by a medium that does not tell where from: nowhere to check, so silence alone ends it.
  Connect("bob");
  ASSERT_TRUE(RunUntil([this] { return Logged("VELP2PPeerDeathNotif bob"); }));
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 0);
  Forget();

  // Its announcement is answered as its birth would be, and it comes back with the status it carries.
  const std::vector<char> announcement = VELP2PWriteStatus('2', 3, "at lunch");
  ASSERT_EQ(FromPeer("bob", "StatusService", announcement, true), VEL_S_OK);
  const std::string toBob = " to 08010fa07f000002";
  EXPECT_EQ(SentLines(),
            (std::vector<std::string>{"/P2PRoot AwarenessService 31" + Hex(_birth).substr(2) + toBob,
                                      "/P2PRoot StatusService 31060000000100000000" + toBob}));
  EXPECT_EQ(_log->Lines(),
            (std::vector<std::string>{"VELP2PPeerBirthNotif bob", "VELP2PChangeStatusNotif bob 3 at lunch"}));
  EXPECT_EQ(StatusOf("bob"), "3 at lunch");

  // Known now, it is only alive: nothing is answered or told, and its stored status stays.
  Forget();
  ASSERT_EQ(FromPeer("bob", "StatusService", VELP2PWriteStatus('2', 5, "back"), true), VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  EXPECT_TRUE(_log->Lines().empty());
  EXPECT_EQ(StatusOf("bob"), "3 at lunch");
}

TEST_F(CollaborationPresence, ChecksGoOnlyToTheAddressAPeerSpokeFrom) {
  PresenceEnvironment presence("0.5", "0");
  Listener heard("127.0.0.2", 0);
  ASSERT_NE(heard.port, 0);
  Listener named("127.0.0.3", heard.port);
  ASSERT_EQ(named.port, heard.port);
  Start();
  // bob's answer comes from 127.0.0.2; its record names 127.0.0.3, where it never spoke from.
  ASSERT_EQ(Deliver("/", "AwarenessService", "bob",
                    Announcement('1', 4242, {UnicastRecord("127.0.0.3", heard.port)}), false,
                    UnicastRecord("127.0.0.3", heard.port), "127.0.0.2"),
            VEL_S_OK);
  ASSERT_EQ(_peer->IsPeerConnected("bob"), 1);
  // Silent, it is checked where it spoke from, answers, and stays.
  ASSERT_TRUE(RunUntil([&] { return heard.Accepted() >= 2; }));
  EXPECT_EQ(_peer->IsPeerConnected("bob"), 1);
  // Gone from there, it is removed; the address its record names was never tried.
  heard.Close();
  ASSERT_TRUE(RunUntil([this] { return _peer->IsPeerConnected("bob") == 0; }));
  EXPECT_EQ(named.Accepted(), 0);
  ASSERT_NE(_node->Liveness(), nullptr);
  EXPECT_EQ(_node->Liveness()->Size(), 0u);
}

TEST_F(CollaborationPresence, AnIdleLoopWakesOnlyForWhatIsDue) {
  PresenceEnvironment presence("10", "1");
  Start();
  ASSERT_EQ(Deliver("/", "AwarenessService", "bob", Announcement('1', 4242, {UnicastRecord("127.0.0.2", 9)}),
                    false, UnicastRecord("127.0.0.2", 9), "127.0.0.2"),
            VEL_S_OK);
  // Three early announcements are due in the first seconds, and no check (bob was just heard): a turn that
  // does work is one of those, whatever the time it takes under load.
  int busyTurns = 0;
  for (int waited = 0; Announcements() < 3 && waited < kDeadlineMs; waited += 50)
    busyTurns += _loop.RunOnce(50) > 0 ? 1 : 0;
  EXPECT_EQ(Announcements(), 3);
  EXPECT_EQ(busyTurns, 3);
  // Each carries the local status, and the header the TCP endpoint.
  EXPECT_EQ(FakeSent().back().payload, VELP2PWriteStatus('2', 6, ""));
  EXPECT_EQ(FakeSent().back().group, "/");
}

TEST_F(CollaborationPresence, ASendThatGetsThroughAfterFailuresIsFollowedByAnAnnouncementAtOnce) {
  PresenceEnvironment presence("600", "1");
  Start();
  ASSERT_NE(_node->Presence(), nullptr);
  const VELP2PAnnouncer& announcer = *_node->Presence()->Announcer();
  // A send timed out, the next one got through: the network is back, and the peer says so before its first
  // scheduled announcement, a second away.
  _node->Receiver().SendFailed("bob", "127.0.0.2:9", "ChatService", "timed out");
  _node->Receiver().Delivered();
  ASSERT_TRUE(RunUntil([&] { return announcer.SentAtOnce() == 1; }));
  EXPECT_EQ(announcer.Sent(), 1);
  EXPECT_EQ(Announcements(), 1);
  // Sends that get through with no failure before them change nothing: the next one is the scheduled one.
  _node->Receiver().Delivered();
  ASSERT_TRUE(RunUntil([&] { return announcer.Sent() == 2; }));
  EXPECT_EQ(announcer.SentAtOnce(), 1);
}

TEST_F(CollaborationPresence, OneSourceFillsHalfTheDirectoryAndANewcomerFromItWaitsForAStaleName) {
  PresenceEnvironment presence("600", "0");
  // Its names accept checks, so that checking them makes no room.
  Listener accepting("127.0.0.5", 0);
  ASSERT_NE(accepting.port, 0);
  Start();
  const VELP2PEndPointInfo record = UnicastRecord("127.0.0.5", accepting.port);
  auto fromFlooder = [&](const std::string& name) {
    return Deliver("/", "AwarenessService", name.c_str(), Announcement('1', 1, {record}), false, record,
                   "127.0.0.5");
  };
  for (int i = 0; i < VELP2PLiveness::kMaxPerSource + 10; ++i)
    ASSERT_EQ(fromFlooder("f" + std::to_string(i)), VEL_S_OK);
  VELListValVELUnicodeString names;
  ASSERT_EQ(_peer->GetConnectedPeers(names), VEL_S_OK);
  EXPECT_EQ(names.Size(), VELP2PLiveness::kMaxPerSource);
  // Another host's peer gets in at once.
  ASSERT_EQ(Deliver("/", "AwarenessService", "carol", Announcement('1', 2, {UnicastRecord("127.0.0.6", 9)}),
                    false, UnicastRecord("127.0.0.6", 9), "127.0.0.6"),
            VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("carol"), 1);
  // One from the flooding host waits until a name heard only once has been silent long enough to go.
  ASSERT_EQ(fromFlooder("dave"), VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("dave"), 0);
  ASSERT_TRUE(RunUntil([this] { return _peer->IsPeerConnected("dave") == 1; }));
  EXPECT_EQ(_log->Count("VELP2PPeerDeathNotif"), 1);
  EXPECT_EQ(_peer->IsPeerConnected("carol"), 1);
  // The names still waiting get in the same way, one for one: the host never holds more.
  (void)_loop.RunUntil([] { return false; }, 1500);
  names.RemoveAll();
  ASSERT_EQ(_peer->GetConnectedPeers(names), VEL_S_OK);
  EXPECT_EQ(names.Size(), VELP2PLiveness::kMaxPerSource + 1);
}

TEST_F(StandardPresence, AGroupPeerExpiredForSilenceComesBackWithItsNextAnnouncement) {
  PresenceEnvironment presence("0.5", "0");
  Start();
  const VELP2PEndPointInfo peerRecord = UnicastRecord("10.0.0.9", 4000);
  ASSERT_EQ(Deliver("/P2PRoot", "PeerService", "peer9", PeerMessage('0', {peerRecord}), false, peerRecord),
            VEL_S_OK);
  ASSERT_TRUE(_loop.RunUntil([this] { return _log->Count("VELP2PPeerDestructNotif") == 1; }, kDeadlineMs));
  Forget();
  // Its command '2' is answered as its presence would be, and it is listed again.
  ASSERT_EQ(Deliver("/P2PRoot", "PeerService", "peer9", PeerMessage('2', {peerRecord}), true, peerRecord),
            VEL_S_OK);
  EXPECT_EQ(SentLines(), std::vector<std::string>{"/P2PRoot PeerService " + LocalMessageHex('0') +
                                                  " to 08010fa00a000009"});
  EXPECT_EQ(_log->Lines(), std::vector<std::string>{"VELP2PPeerCreatNotif peer9"});
  // Known now, its next one changes nothing and is not answered.
  Forget();
  ASSERT_EQ(Deliver("/P2PRoot", "PeerService", "peer9", PeerMessage('2', {peerRecord}), true, peerRecord),
            VEL_S_OK);
  EXPECT_TRUE(FakeSent().empty());
  EXPECT_TRUE(_log->Lines().empty());
}

TEST(AnnounceSchedule, EarlyGapsThenThePeriodEachWithinATenth) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    VELP2PAnnounceSchedule schedule(seed);
    for (int expected : {1000, 1500, 2000, 2500, 3000, 5000, 5000, 5000}) {
      const int gap = schedule.NextGapMs(5000);
      EXPECT_GE(gap, expected - expected / 10) << seed;
      EXPECT_LE(gap, expected + expected / 10) << seed;
    }
    // A short period caps the early gaps; a restart begins them again.
    schedule.Restart();
    EXPECT_LE(schedule.NextGapMs(400), 440);
    EXPECT_GE(schedule.NextGapMs(4000), 1350);
  }
}

TEST(PresenceSettings, PeriodFollowsTheIntervalAndGrowsWithTheGroup) {
  VELP2PPresenceSettings settings;
  EXPECT_EQ(settings.AnnouncePeriodMs(), 5000);
  EXPECT_EQ(settings.AnnouncePeriodMs(100), 6500);
  EXPECT_EQ(settings.AnnouncePeriodMs(200), 8000);
  EXPECT_EQ(settings.AnnouncePeriodMs(5000), 8000);
  settings.livenessMs = 0;  // no checks: the default interval's pace
  EXPECT_EQ(settings.AnnouncePeriodMs(), 5000);

  struct Case {
    const char* liveness;
    const char* announce;
    int livenessMs;
    bool announced;
  };
  for (const Case& c :
       {Case{nullptr, nullptr, 10000, true}, Case{"0", "0", 0, false}, Case{"2.5", "1", 2500, true},
        Case{"0.1", "yes", 500, true}, Case{"600", "00", 600000, false}}) {
    if (c.liveness)
      setenv("VELP2PLiveness", c.liveness, 1);
    if (c.announce)
      setenv("VELP2PAnnounce", c.announce, 1);
    const VELP2POptions options = VELP2POptions::FromEnvironment(VELP2POptions::Mode::kCollaboration);
    EXPECT_EQ(options.Check(), VEL_S_OK);
    const VELP2PPresenceSettings read = VELP2PPresenceSettings::From(options);
    EXPECT_EQ(read.livenessMs, c.livenessMs) << (c.liveness ? c.liveness : "unset");
    EXPECT_EQ(read.announce, c.announced) << (c.announce ? c.announce : "unset");
    unsetenv("VELP2PLiveness");
    unsetenv("VELP2PAnnounce");
  }
  // The same in code: "0" or "1", nothing else.
  VELP2POptions options;
  EXPECT_EQ(options.Set("announce", "0"), VEL_S_OK);
  EXPECT_FALSE(VELP2PPresenceSettings::From(options).announce);
  EXPECT_LT(options.Set("announce", "off"), 0);
  EXPECT_FALSE(options.announce);
}

TEST(NetworkWatch, TellsOnlyOfAnAddressThatComesBack) {
  std::vector<uint32_t> usable = {Address("10.0.0.1")};
  VELNetworkWatch watch([&usable] { return usable; });
  EXPECT_FALSE(watch.Regained());  // the first reading is what later ones compare with
  EXPECT_FALSE(watch.Regained());
  usable.clear();  // the carrier is lost
  EXPECT_FALSE(watch.Regained());
  usable = {Address("10.0.0.1")};
  EXPECT_TRUE(watch.Regained());
  EXPECT_FALSE(watch.Regained());
  usable.push_back(Address("192.168.1.4"));  // a new address, too
  EXPECT_TRUE(watch.Regained());
}
