// The work other hosts can make a peer do on its own: which announced addresses its sends may use, by where
// the records naming them came from, and the budgets of its automatic answers, per host they come from and
// per address they go to, queued apart from what the application sends.
#include <arpa/inet.h>

#include <chrono>
#include <memory>

#include "core/VELP2PAddressBudgets.h"
#include "core/VELP2PAnswerGuard.h"
#include "core/VELP2PRecordFacts.h"
#include "unit/ServiceTestSupport.h"

using namespace svctest;

namespace {

using Clock = std::chrono::steady_clock;

uint32_t Address(const char* dotted) {
  return UnicastRecord(dotted, 0).address;
}

// Whole seconds since start, rounded up: the most a bucket can have refilled meanwhile, however slow the
// machine was.
int SecondsSince(Clock::time_point start) {
  return static_cast<int>(std::chrono::ceil<std::chrono::seconds>(Clock::now() - start).count());
}

// The sends to address, and whether they all went to the automatic lane.
int SendsTo(uint32_t address, bool* allAutomatic = nullptr) {
  int count = 0;
  for (const SentMessage& sent : FakeSent()) {
    if (!sent.toGroup && sent.remote.address == address) {
      ++count;
      if (allAutomatic && !sent.automatic)
        *allAutomatic = false;
    }
  }
  return count;
}

class AutomaticWork : public CollaborationTest {
 protected:
  // A birth heard by multicast from the host at source, whose one TCP record names dotted:port.
  VELResult Birth(const std::string& name, const char* source, const char* dotted, int port,
                  int32_t pid = 4000) {
    const VELP2PEndPointInfo record = UnicastRecord(dotted, port);
    return Deliver("/", "AwarenessService", name.c_str(), Announcement('0', pid, {record}), true, record,
                   source);
  }
};

}  // namespace

TEST(AddressBudgets, AnEntryIsForgottenOnlyOnceFullAgainAndBothBucketsPayOrNeither) {
  // Times are given: source burst 2, heard 3, unheard 1, each refilling one unit a second.
  VELP2PAddressBudgets budgets(2, {{2, 1}, {3, 1}, {1, 1}});
  EXPECT_TRUE(budgets.Take(false, 0, 1, 0));
  EXPECT_TRUE(budgets.Take(false, 0, 2, 0));
  // Both entries are spent: forgetting one would hand its address a fresh allowance, so a newcomer waits.
  EXPECT_FALSE(budgets.Take(false, 0, 3, 500));
  EXPECT_EQ(budgets.Size(), 2u);
  EXPECT_FALSE(budgets.Take(false, 0, 1, 999));
  EXPECT_TRUE(budgets.Take(false, 0, 3, 1000));
  EXPECT_FALSE(budgets.Take(false, 0, 3, 1000));

  VELP2PAddressBudgets heard(8, {{2, 1}, {3, 1}, {1, 1}});
  heard.Heard(10, 0);
  EXPECT_TRUE(heard.IsHeard(10));
  EXPECT_TRUE(heard.Take(true, 10, 10, 0) && heard.Take(true, 10, 11, 0));
  // The source's bucket is spent: the destination pays nothing for the refusal.
  EXPECT_FALSE(heard.Take(true, 10, 12, 0));
  EXPECT_TRUE(heard.Take(false, 0, 12, 0));
  EXPECT_TRUE(heard.Take(false, 0, 10, 0) && heard.Take(false, 0, 10, 0));
  EXPECT_FALSE(heard.Take(false, 0, 10, 0));
}

TEST(AnswerGuard, AnAddressOfThisHostIsUsedForNoOtherHostWhereverItsRecordIsKept) {
  VELP2PAnswerGuard guard;
  const uint32_t loopback = Address("127.0.0.1"), lan = Address("10.0.0.2");
  const VELP2PSource elsewhere{VELP2POrigin::kElsewhere, Address("10.0.0.9")};
  const VELP2PSource here{VELP2POrigin::kThisHost, loopback};
  const struct {
    VELP2PSource source;
    uint32_t address;
    bool allowed;
  } cases[] = {{here, loopback, true},
               {elsewhere, loopback, false},
               {VELP2PSource{}, loopback, true},
               {elsewhere, lan, true},
               {here, 0, false},
               {here, Address("224.0.0.1"), false},
               {here, 0xFFFFFFFFu, false}};
  for (const auto& c : cases) {
    VELP2PAnswerGuard::Scope scope(guard, true, c.source);
    EXPECT_EQ(guard.MayConnect(c.address, nullptr), c.allowed) << std::hex << ntohl(c.address);
  }

  // A record made from a received message keeps where that came from; one the application made has nothing.
  auto record = [&guard](const char* name) {
    auto made = std::make_unique<VELP2PPeerInfo>(name, 1, "/");
    (void)VELP2PRecordFacts::Attach(*made, guard);
    return made;
  };
  std::unique_ptr<VELP2PPeerInfo> foreign, local, made, madeInNotification;
  {
    VELP2PAnswerGuard::Scope scope(guard, true, elsewhere);
    foreign = record("foreign");
    VELP2PAnswerGuard::ApplicationScope application(guard);
    madeInNotification = record("application's");
  }
  {
    VELP2PAnswerGuard::Scope scope(guard, false, here);
    local = record("local");
  }
  made = record("made");
  EXPECT_EQ(VELP2PRecordFacts::Of(madeInNotification.get()), nullptr);
  EXPECT_EQ(VELP2PRecordFacts::Of(made.get()), nullptr);
  EXPECT_FALSE(guard.MayConnect(loopback, foreign.get()));
  EXPECT_FALSE(guard.MayCheck(loopback, foreign.get()));
  EXPECT_TRUE(guard.MayConnect(lan, foreign.get()));
  EXPECT_TRUE(guard.MayConnect(loopback, local.get()));
  EXPECT_TRUE(guard.MayConnect(loopback, made.get()));
  EXPECT_TRUE(guard.MayConnect(loopback, madeInNotification.get()));
}

TEST(AnswerGuard, AutomaticAnswersAreBoundedPerSourceHostAndPerDestinationAddress) {
  VELP2PAnswerGuard guard;
  const Clock::time_point start = Clock::now();
  int toThird = 0, spread = 0;
  {
    VELP2PAnswerGuard::Scope scope(guard, true, VELP2PSource{VELP2POrigin::kElsewhere, Address("10.0.0.9")});
    for (int i = 0; i < 100; ++i)
      toThird += guard.TakeAnswer(Address("10.0.0.7")) ? 1 : 0;
    // Every destination new: only the budget of the host the messages come from holds them back.
    for (uint32_t i = 0; i < 1000; ++i)
      spread += guard.TakeAnswer(htonl(0x0B000000 + i)) ? 1 : 0;
  }
  const int seconds = SecondsSince(start);
  EXPECT_GE(toThird, 1);
  EXPECT_LE(toThird, VELP2PAnswerGuard::kUnheardBurst + seconds * VELP2PAnswerGuard::kUnheardPerSecond);
  EXPECT_GE(toThird + spread, VELP2PAnswerGuard::kHostBurst);
  EXPECT_LE(toThird + spread, VELP2PAnswerGuard::kHostBurst + seconds * VELP2PAnswerGuard::kHostPerSecond);
  {
    // Another host still gets answers, to the heard address as often as a burst allows.
    VELP2PAnswerGuard::Scope scope(guard, true, VELP2PSource{VELP2POrigin::kElsewhere, Address("10.0.0.8")});
    for (int i = 0; i < VELP2PAnswerGuard::kHeardBurst; ++i)
      ASSERT_TRUE(guard.TakeAnswer(Address("10.0.0.9"))) << i;
    // What the application sends from a notification, and what a point-to-point message makes anyone send,
    // is not an answer.
    VELP2PAnswerGuard::ApplicationScope application(guard);
    EXPECT_FALSE(guard.Answering());
    EXPECT_TRUE(guard.TakeAnswer(Address("10.0.0.7")));
  }
  {
    VELP2PAnswerGuard::Scope direct(guard, false,
                                    VELP2PSource{VELP2POrigin::kElsewhere, Address("10.0.0.8")});
    EXPECT_TRUE(guard.TakeAnswer(Address("10.0.0.7")));
  }
  // A check pays from the address's budget like an answer.
  EXPECT_FALSE(guard.MayCheck(0));
  const Clock::time_point checked = Clock::now();
  int checks = 0;
  for (int i = 0; i < 3; ++i)
    checks += guard.MayCheck(Address("10.0.0.6")) ? 1 : 0;
  EXPECT_GE(checks, 1);
  EXPECT_LE(checks, 1 + SecondsSince(checked));
}

TEST_F(AutomaticWork, ForgedBirthsGetBoundedAnswersQueuedApartWhileTheApplicationSendsFreely) {
  Start();
  Connect("bob");
  // The application answers carol's birth itself: its send is its own, not an answer.
  char data[] = "x";
  int sent = 0;
  VELCallback* callback = AddCallback(
      nullptr, _peer->GetP2PPublisher(), "VELP2PPeerBirthNotif", [&](VELNotification* notification) {
        if (static_cast<VELP2PNotif*>(notification)->getPeerName()->Str() == "carol") {
          sent += VEL_SUCCEEDED(_peer->SendP2PMessage("bob", 1, "", data, 1)) ? 1 : 0;
        }
      });
  Forget();
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 300; ++i)
    ASSERT_EQ(Birth("f" + std::to_string(i), "10.0.0.9", "10.0.0.7", 7000), VEL_S_OK);
  const int seconds = SecondsSince(start);
  bool automatic = true;
  const int toThird = SendsTo(Address("10.0.0.7"), &automatic);
  EXPECT_GE(toThird, 1);
  EXPECT_LE(toThird, 1 + seconds);
  EXPECT_TRUE(automatic);
  EXPECT_EQ(_peer->IsPeerConnected("f299"), 1);

  ASSERT_EQ(Birth("carol", "10.0.0.8", "10.0.0.8", 4000), VEL_S_OK);
  EXPECT_EQ(sent, 1);
  automatic = true;
  EXPECT_EQ(SendsTo(Address("10.0.0.8"), &automatic), 2);
  EXPECT_TRUE(automatic);
  ASSERT_FALSE(FakeSent().empty());
  EXPECT_EQ(FakeSent().back().service, "VELP2PChatService");
  EXPECT_FALSE(FakeSent().back().automatic);
  RemoveCallback(callback);
}

TEST_F(AutomaticWork, ARecordNamingThisHostFromAnotherHostIsNeverUsedEvenManyNamesLater) {
  Start();
  const VELP2PEndPointInfo records[] = {UnicastRecord("0.0.0.0", 7100), UnicastRecord("127.0.0.1", 7100)};
  ASSERT_EQ(Deliver("/", "AwarenessService", "mallory", Announcement('0', 1, {records[0], records[1]}), true,
                    records[1], "10.0.0.9"),
            VEL_S_OK);
  EXPECT_EQ(_peer->IsPeerConnected("mallory"), 1);
  char data[] = "x";
  EXPECT_EQ(_peer->SendP2PMessage("mallory", 1, "", data, 1), VEL_E_FAIL);
  for (int i = 0; i < 1100; ++i)
    ASSERT_EQ(Birth("m" + std::to_string(i), "10.0.0.9", "10.0.0.9", 7000), VEL_S_OK);
  EXPECT_EQ(_peer->SendP2PMessage("mallory", 1, "", data, 1), VEL_E_FAIL);
  EXPECT_EQ(SendsTo(Address("127.0.0.1")) + SendsTo(0), 0);
  // The same record from this host is answered.
  ASSERT_EQ(Birth("local", "127.0.0.5", "127.0.0.1", 7100), VEL_S_OK);
  EXPECT_EQ(SendsTo(Address("127.0.0.1")), 2);
}
