// The event loop: serving order, re-entrant registration changes, timers, stopping, deferred deletion and
// driving it from a foreign loop.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "host/VELCleaner.h"
#include "host/VELCommandSelector.h"
#include "host/VELSystemCalls.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELCommand.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A pipe whose open ends are closed on destruction; its read end is what the loop watches.
struct Pipe {
  int ends[2] = {-1, -1};
  int& readEnd = ends[0];
  int& writeEnd = ends[1];
  Pipe() { EXPECT_EQ(pipe(ends), 0); }
  ~Pipe() {
    for (int end : ends)
      if (end >= 0)
        close(end);
  }
  void Put() { EXPECT_EQ(write(writeEnd, "x", 1), 1); }
};

// AddFileDescriptor's callback, forwarding to the std::function given as its data.
using Handler = std::function<void(int)>;
void CallHandler(int descriptor, void*, void* data) {
  (*static_cast<Handler*>(data))(descriptor);
}

struct TrackedCommand : VELCommand {
  explicit TrackedCommand(bool* deleted)
      : VELCommand(VELCommandSelector::GetCommandSelectorInstance(), "P2PSender"), _deleted(deleted) {}
  ~TrackedCommand() override { *_deleted = true; }
  bool* _deleted;
};

}  // namespace

TEST(EventLoop, FirstApplicationIsMainUntilDestroyed) {
  EXPECT_EQ(VELApplication::MainApplication(), nullptr);
  {
    VELApplication first;
    VELApplication second;
    EXPECT_EQ(VELApplication::MainApplication(), &first);
  }
  EXPECT_EQ(VELApplication::MainApplication(), nullptr);
}

TEST(EventLoop, ServesAReadableDescriptorEvenStandardInputEveryTurnUntilItsOwnerRemovesIt) {
  VELApplication application;
  VELCommand owner(VELCommandSelector::GetCommandSelectorInstance(), "Console");
  VELCommand stranger(nullptr, "Other");
  Pipe console;
  int savedInput = dup(0);
  ASSERT_EQ(dup2(console.readEnd, 0), 0);
  std::vector<int> served;
  Handler handler = [&](int descriptor) { served.push_back(descriptor); };
  ASSERT_EQ(application.AddFileDescriptor(0, &owner, &handler, CallHandler), 0);
  EXPECT_NE(application.AddFileDescriptor(0, &owner, &handler, CallHandler), 0);
  EXPECT_EQ(application.RunOnce(0), 0);
  console.Put();
  EXPECT_EQ(application.RunOnce(1000), 1);
  // Still readable (nobody read the byte): served again on every turn, not once.
  EXPECT_EQ(application.RunOnce(0), 1);
  EXPECT_NE(application.RemoveFileDescriptor(0, &stranger), 0);
  EXPECT_EQ(application.RemoveFileDescriptor(0, &owner), 0);
  EXPECT_EQ(application.RunOnce(0), 0);
  EXPECT_EQ(served, (std::vector<int>{0, 0}));
  dup2(savedInput, 0);
  close(savedInput);
}

TEST(EventLoop, RegistrationChangesDuringACallbackTakeEffectAtOnceForRemovalsAndNextTurnForAdditions) {
  VELApplication application;
  VELCommand owner(nullptr, "P2PSender");
  Pipe first, second, added;
  std::vector<int> served;
  // Whichever is served first removes itself and the other, which was ready in the same turn, and adds one
  // that is ready too but not served in this turn.
  Handler handler = [&](int descriptor) {
    served.push_back(descriptor);
    application.RemoveFileDescriptor(first.readEnd, &owner);
    application.RemoveFileDescriptor(second.readEnd, &owner);
    application.AddFileDescriptor(added.readEnd, &owner, &handler, CallHandler);
  };
  ASSERT_EQ(application.AddFileDescriptor(first.readEnd, &owner, &handler, CallHandler), 0);
  ASSERT_EQ(application.AddFileDescriptor(second.readEnd, &owner, &handler, CallHandler), 0);
  first.Put();
  second.Put();
  added.Put();
  EXPECT_EQ(application.RunOnce(1000), 1);
  EXPECT_EQ(application.RunOnce(1000), 1);
  ASSERT_EQ(served.size(), 2u);
  EXPECT_EQ(served[1], added.readEnd);
}

TEST(EventLoop, WatchReportsWritabilityAndHangUpAndAClosedNumberCanBeWatchedAgain) {
  VELApplication application;
  Pipe channel;
  bool readable = false, writable = false;
  int errors = 0;
  auto record = [&](int, bool r, bool w, bool e) {
    readable = r;
    writable = w;
    errors += e;
  };
  ASSERT_EQ(application.AddWatch(channel.writeEnd, false, true, record), 0);
  EXPECT_EQ(application.RunOnce(1000), 1);
  EXPECT_TRUE(writable);
  EXPECT_EQ(application.RemoveWatch(channel.writeEnd), 0);

  ASSERT_EQ(application.AddWatch(channel.readEnd, false, false, record), 0);
  close(channel.writeEnd);
  channel.writeEnd = -1;
  // Asking for nothing means not polled at all, even across a hang-up.
  EXPECT_EQ(application.RunOnce(0), 0);
  ASSERT_EQ(application.ModifyWatch(channel.readEnd, true, false), 0);
  EXPECT_EQ(application.RunOnce(1000), 1);
  EXPECT_TRUE(readable);

  // Closed without removal, its number reused: the new file can be watched, the old watch is gone.
  int number = channel.readEnd;
  close(channel.readEnd);
  Pipe other;
  ASSERT_EQ(dup2(other.readEnd, number), number);
  bool heard = false;
  ASSERT_EQ(application.AddWatch(number, true, false, [&](int, bool, bool, bool) { heard = true; }), 0);
  other.Put();
  EXPECT_EQ(application.RunOnce(1000), 1);
  EXPECT_TRUE(heard);
  EXPECT_EQ(errors, 0);
}

TEST(EventLoop, DueTimersRunInDeadlineOrderCancelledOnesNeverAndWaitsEndAtTheTimer) {
  VELApplication application;
  std::vector<int> fired;
  int second = 0;
  application.AddTimer(0, [&] {
    fired.push_back(1);
    // Due in this same turn, but cancelled before its turn comes.
    application.CancelTimer(second);
    // Added during the turn: served by a later one.
    application.AddTimer(0, [&] { fired.push_back(2); });
  });
  second = application.AddTimer(0, [&] { fired.push_back(99); });
  ASSERT_GT(second, 0);
  EXPECT_EQ(application.RunOnce(0), 1);
  EXPECT_EQ(fired, (std::vector<int>{1}));
  // Added only now, so that a thread held up before the turn above cannot find them due already; the
  // later one goes first.
  application.AddTimer(30, [&] { fired.push_back(4); });
  application.AddTimer(15, [&] { fired.push_back(3); });
  EXPECT_TRUE(application.RunUntil([&] { return fired.size() >= 4; }, 30000));
  EXPECT_EQ(fired, (std::vector<int>{1, 2, 3, 4}));

  // One unbounded turn: the wait itself must end at the timer's deadline.
  Clock::time_point start = Clock::now();
  application.AddTimer(50, [&] { fired.push_back(5); });
  EXPECT_EQ(application.RunOnce(-1), 1);
  EXPECT_GE(Clock::now() - start, milliseconds(50));
  // A deadline with nothing to do: waited for, not spun through, one turn being the usual count.
  start = Clock::now();
  const uint64_t calls = VELSystemCalls::Count();
  EXPECT_FALSE(application.RunUntil([] { return false; }, 100));
  EXPECT_GE(Clock::now() - start, milliseconds(100));
  EXPECT_LE(VELSystemCalls::Count() - calls, 3u);
}

// A signal handler's stop is what ends a console on SIGTERM, which the console processes show.
TEST(EventLoop, StopFromACallbackOrBeforeRunEndsRun) {
  VELApplication application;
  application.AddTimer(0, [&] { application.Stop(); });
  EXPECT_EQ(application.Run(), 0);
  application.Stop();
  EXPECT_EQ(application.Run(), 0);
}

TEST(EventLoop, CommandHandedToTheCleanerOutlivesTheTurn) {
  bool deleted = false;
  VELCleaner::DeleteOnTransactionEnd(nullptr, new TrackedCommand(&deleted));
  EXPECT_TRUE(deleted);  // no application: at once

  VELApplication application;
  deleted = false;
  VELCleaner::DeleteOnTransactionEnd(&application, new TrackedCommand(&deleted));
  EXPECT_TRUE(deleted);  // not turning: at once

  deleted = false;
  bool aliveAfterHandOver = false;
  application.AddTimer(0, [&] {
    VELCleaner::DeleteOnTransactionEnd(&application, new TrackedCommand(&deleted));
    aliveAfterHandOver = !deleted;
  });
  application.AddTimer(0, [&] { aliveAfterHandOver = aliveAfterHandOver && !deleted; });
  EXPECT_EQ(application.RunOnce(1000), 2);
  EXPECT_TRUE(aliveAfterHandOver);
  EXPECT_TRUE(deleted);
}

TEST(EventLoop, AForeignPollLoopDrivesItAndPostedWorkRunsInEachThreadsOrder) {
  VELApplication application;
  EXPECT_EQ(application.GetTimeoutMs(), -1);
  const int later = application.AddTimer(60000, [] {});
  EXPECT_GT(application.GetTimeoutMs(), 0);
  EXPECT_LE(application.GetTimeoutMs(), 60000);
  application.CancelTimer(later);
  bool fired = false;
  application.AddTimer(40, [&] { fired = true; });
  EXPECT_GE(application.GetTimeoutMs(), 0);
  EXPECT_LE(application.GetTimeoutMs(), 40);
  constexpr int kPerThread = 500;
  std::vector<int> order;  // touched by the loop's thread only
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&application, &order, t] {
      for (int i = 0; i < kPerThread; ++i)
        application.Post([&order, t, i] { order.push_back(t * kPerThread + i); });
    });
  }
  Clock::time_point deadline = Clock::now() + milliseconds(30000);
  while ((order.size() < 2 * kPerThread || !fired) && Clock::now() < deadline) {
    pollfd entry{application.GetDescriptor(), POLLIN, 0};
    int wait = application.GetTimeoutMs();
    poll(&entry, 1, wait < 0 ? 100 : wait);
    application.ProcessReady();
  }
  for (auto& thread : threads)
    thread.join();
  ASSERT_EQ(order.size(), 2u * kPerThread);
  EXPECT_TRUE(fired);
  int last[2] = {-1, -1};
  for (int value : order) {
    EXPECT_GT(value, last[value / kPerThread]);
    last[value / kPerThread] = value;
  }
  pollfd idle{application.GetDescriptor(), POLLIN, 0};
  EXPECT_EQ(poll(&idle, 1, 0), 0);
}
