// The event loop: serving order, re-entrant registration changes, timers, stopping and deferred deletion.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "host/VELCleaner.h"
#include "host/VELCommandSelector.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELCommand.h"

namespace {

using Clock = std::chrono::steady_clock;

// A pipe closed on destruction; its read end is what the loop watches.
struct Pipe {
  int readEnd = -1;
  int writeEnd = -1;
  Pipe() {
    int ends[2];
    if (pipe(ends) == 0) {
      readEnd = ends[0];
      writeEnd = ends[1];
    }
  }
  ~Pipe() {
    CloseWriter();
    if (readEnd >= 0) {
      close(readEnd);
    }
  }
  void CloseWriter() {
    if (writeEnd >= 0) {
      close(writeEnd);
      writeEnd = -1;
    }
  }
  void Put(const std::string& text) {
    ASSERT_EQ(write(writeEnd, text.data(), text.size()), (ssize_t)text.size());
  }
};

// What a descriptor callback sees, and what it should do to the loop while it is being served.
struct Probe {
  VELApplication* application = nullptr;
  VELCommand* owner = nullptr;
  int calls = 0;
  int lastDescriptor = -1;
  void* lastLoopArgument = reinterpret_cast<void*>(1);
  std::vector<int> removeOnCall;  // descriptors (with owner) to remove when called
  int addOnCall = -1;             // descriptor to register (with owner, this probe) when called
};

void ProbeCallback(int descriptor, void* loopArgument, void* data) {
  Probe* probe = static_cast<Probe*>(data);
  ++probe->calls;
  probe->lastDescriptor = descriptor;
  probe->lastLoopArgument = loopArgument;
  for (int removed : probe->removeOnCall) {
    probe->application->RemoveFileDescriptor(removed, probe->owner);
  }
  probe->removeOnCall.clear();
  if (probe->addOnCall >= 0) {
    probe->application->AddFileDescriptor(probe->addOnCall, probe->owner, probe, ProbeCallback);
    probe->addOnCall = -1;
  }
}

class TrackedCommand : public VELCommand {
 public:
  TrackedCommand(bool* deleted)
      : VELCommand(VELCommandSelector::GetCommandSelectorInstance(), "P2PSender"), _deleted(deleted) {}
  ~TrackedCommand() override { *_deleted = true; }

 private:
  bool* _deleted;
};

int g_stopCount = 0;
void StopMainApplicationOnSignal(int) {
  ++g_stopCount;
  VELApplication::MainApplication()->Stop();
}

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

TEST(EventLoop, ServesReadableDescriptorInTheSameTurnWithItsData) {
  VELApplication application;
  VELCommand owner(VELCommandSelector::GetCommandSelectorInstance(), "P2PSender");
  Pipe input;
  Probe probe;
  ASSERT_EQ(application.AddFileDescriptor(input.readEnd, &owner, &probe, ProbeCallback), 0);
  EXPECT_EQ(application.RunOnce(0), 0);
  input.Put("x");
  EXPECT_EQ(application.RunOnce(1000), 1);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(probe.lastDescriptor, input.readEnd);
  EXPECT_EQ(probe.lastLoopArgument, nullptr);
  // Still readable (nobody read the byte): served again on every turn, not once.
  EXPECT_EQ(application.RunOnce(0), 1);
  EXPECT_NE(application.AddFileDescriptor(input.readEnd, &owner, &probe, ProbeCallback), 0);
}

TEST(EventLoop, RemoveFileDescriptorNeedsTheOwnerThatRegistered) {
  VELApplication application;
  VELCommand owner(nullptr, "P2PSender");
  VELCommand stranger(nullptr, "Other");
  Pipe input;
  Probe probe;
  ASSERT_EQ(application.AddFileDescriptor(input.readEnd, &owner, &probe, ProbeCallback), 0);
  EXPECT_NE(application.RemoveFileDescriptor(input.readEnd, &stranger), 0);
  EXPECT_EQ(application.RemoveFileDescriptor(input.readEnd, &owner), 0);
  input.Put("x");
  EXPECT_EQ(application.RunOnce(0), 0);
  EXPECT_EQ(probe.calls, 0);
}

TEST(EventLoop, DescriptorsRemovedDuringATurnAreNotCalledInThatTurn) {
  VELApplication application;
  VELCommand owner(nullptr, "P2PSender");
  Pipe first;
  Pipe second;
  Probe probe;
  probe.application = &application;
  probe.owner = &owner;
  probe.removeOnCall = {first.readEnd, second.readEnd};
  ASSERT_EQ(application.AddFileDescriptor(first.readEnd, &owner, &probe, ProbeCallback), 0);
  ASSERT_EQ(application.AddFileDescriptor(second.readEnd, &owner, &probe, ProbeCallback), 0);
  first.Put("x");
  second.Put("y");
  // Whichever is served first removes itself and the other, which was ready in the same turn.
  EXPECT_EQ(application.RunOnce(1000), 1);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(application.RunOnce(0), 0);
  EXPECT_EQ(probe.calls, 1);
}

TEST(EventLoop, DescriptorAddedDuringACallbackIsServedFromTheNextTurn) {
  VELApplication application;
  VELCommand owner(nullptr, "P2PSender");
  Pipe first;
  Pipe added;
  Probe probe;
  probe.application = &application;
  probe.owner = &owner;
  probe.addOnCall = added.readEnd;
  probe.removeOnCall = {first.readEnd};
  ASSERT_EQ(application.AddFileDescriptor(first.readEnd, &owner, &probe, ProbeCallback), 0);
  first.Put("x");
  added.Put("y");
  EXPECT_EQ(application.RunOnce(1000), 1);
  EXPECT_EQ(probe.lastDescriptor, first.readEnd);
  EXPECT_EQ(application.RunOnce(1000), 1);
  EXPECT_EQ(probe.lastDescriptor, added.readEnd);
}

TEST(EventLoop, WatchReportsWritabilityAndHangUp) {
  VELApplication application;
  Pipe channel;
  bool sawWritable = false;
  ASSERT_EQ(application.AddWatch(channel.writeEnd, false, true,
                                 [&](int, bool, bool writable, bool) { sawWritable = writable; }),
            0);
  EXPECT_EQ(application.RunOnce(1000), 1);
  EXPECT_TRUE(sawWritable);
  EXPECT_EQ(application.RemoveWatch(channel.writeEnd), 0);
  EXPECT_NE(application.RemoveWatch(channel.writeEnd), 0);

  bool sawReadable = false;
  ASSERT_EQ(application.AddWatch(channel.readEnd, false, false,
                                 [&](int, bool readable, bool, bool) { sawReadable = readable; }),
            0);
  channel.CloseWriter();
  // Asking for nothing means not polled at all, even across a hang-up.
  EXPECT_EQ(application.RunOnce(0), 0);
  ASSERT_EQ(application.ModifyWatch(channel.readEnd, true, false), 0);
  EXPECT_EQ(application.RunOnce(1000), 1);
  EXPECT_TRUE(sawReadable);
}

TEST(EventLoop, DescriptorClosedWhileWatchedIsDroppedInsteadOfSpinning) {
  VELApplication application;
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  int errors = 0;
  ASSERT_EQ(application.AddWatch(ends[0], true, false, [&](int, bool, bool, bool error) { errors += error; }),
            0);
  close(ends[0]);
  close(ends[1]);
  EXPECT_EQ(application.RunOnce(0), 1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(application.RunOnce(0), 0);
}

TEST(EventLoop, StandardInputIsOneMoreDescriptor) {
  VELApplication application;
  VELCommand owner(nullptr, "Console");
  Pipe console;
  int savedInput = dup(0);
  ASSERT_GE(savedInput, 0);
  ASSERT_EQ(dup2(console.readEnd, 0), 0);

  struct Console {
    VELApplication* application;
    VELCommand* owner;
    std::string text;
    bool ended = false;
  } state{&application, &owner, "", false};
  auto onInput = [](int descriptor, void*, void* data) {
    Console* console = static_cast<Console*>(data);
    char buffer[64];
    ssize_t count = read(descriptor, buffer, sizeof(buffer));
    if (count <= 0) {
      console->ended = true;
      console->application->RemoveFileDescriptor(descriptor, console->owner);
      return;
    }
    console->text.append(buffer, static_cast<size_t>(count));
  };
  ASSERT_EQ(application.AddFileDescriptor(0, &owner, &state, onInput), 0);
  console.Put("status busy\n");
  EXPECT_TRUE(application.RunUntil([&] { return state.text == "status busy\n"; }, 2000));
  console.CloseWriter();
  EXPECT_TRUE(application.RunUntil([&] { return state.ended; }, 2000));
  EXPECT_EQ(application.RunOnce(0), 0);

  dup2(savedInput, 0);
  close(savedInput);
}

TEST(EventLoop, DueTimersRunInDeadlineOrderAndCancelledOnesNever) {
  VELApplication application;
  std::vector<int> fired;
  int second = 0;
  application.AddTimer(30, [&] { fired.push_back(4); });
  application.AddTimer(15, [&] { fired.push_back(3); });
  application.AddTimer(0, [&] {
    fired.push_back(1);
    // Due in this same turn, but cancelled before its turn comes.
    application.CancelTimer(second);
    // Added during the turn: served by a later one.
    application.AddTimer(0, [&] { fired.push_back(2); });
  });
  second = application.AddTimer(0, [&] { fired.push_back(99); });
  int cancelled = application.AddTimer(0, [&] { fired.push_back(98); });
  ASSERT_GT(cancelled, 0);
  application.CancelTimer(cancelled);
  EXPECT_EQ(application.RunOnce(0), 1);
  EXPECT_EQ(fired, (std::vector<int>{1}));
  EXPECT_TRUE(application.RunUntil([&] { return fired.size() >= 4; }, 2000));
  EXPECT_EQ(fired, (std::vector<int>{1, 2, 3, 4}));
}

TEST(EventLoop, TimerWakesAnIdleWaitOnTime) {
  VELApplication application;
  bool fired = false;
  Clock::time_point start = Clock::now();
  application.AddTimer(50, [&] { fired = true; });
  // One unbounded turn: the wait itself must end at the timer's deadline.
  EXPECT_EQ(application.RunOnce(-1), 1);
  EXPECT_TRUE(fired);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
}

TEST(EventLoop, RunUntilGivesUpAtTheDeadline) {
  VELApplication application;
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(application.RunUntil([] { return false; }, 100));
  auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(100));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
  EXPECT_TRUE(application.RunUntil([] { return true; }, 0));
}

TEST(EventLoop, StopFromACallbackEndsRun) {
  VELApplication application;
  int turns = 0;
  application.AddTimer(0, [&] {
    ++turns;
    application.Stop();
  });
  EXPECT_EQ(application.Run(), 0);
  EXPECT_EQ(turns, 1);
  // A stop that comes before Run makes it return at once.
  application.Stop();
  EXPECT_EQ(application.Run(), 0);
}

TEST(EventLoop, StopFromASignalHandlerEndsRun) {
  VELApplication application;
  struct sigaction action = {};
  struct sigaction previous = {};
  action.sa_handler = StopMainApplicationOnSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  g_stopCount = 0;
  application.AddTimer(10, [] { raise(SIGUSR1); });
  EXPECT_EQ(application.Run(), 0);
  EXPECT_EQ(g_stopCount, 1);
  sigaction(SIGUSR1, &previous, nullptr);
}

TEST(EventLoop, CommandHandedToTheCleanerOutlivesTheTurn) {
  bool deleted = false;
  VELCleaner::DeleteOnTransactionEnd(new TrackedCommand(&deleted));
  EXPECT_TRUE(deleted);  // no application: at once

  VELApplication application;
  deleted = false;
  VELCleaner::DeleteOnTransactionEnd(new TrackedCommand(&deleted));
  EXPECT_TRUE(deleted);  // not turning: at once

  deleted = false;
  bool aliveAfterHandOver = false;
  application.AddTimer(0, [&] {
    VELCleaner::DeleteOnTransactionEnd(new TrackedCommand(&deleted));
    aliveAfterHandOver = !deleted;
  });
  application.AddTimer(0, [&] { aliveAfterHandOver = aliveAfterHandOver && !deleted; });
  EXPECT_EQ(application.RunOnce(1000), 2);
  EXPECT_TRUE(aliveAfterHandOver);
  EXPECT_TRUE(deleted);
}

TEST(EventLoop, CommandSelectorIsOneProcessWideCommand) {
  VELCommand* selector = VELCommandSelector::GetCommandSelectorInstance();
  ASSERT_NE(selector, nullptr);
  EXPECT_EQ(selector, VELCommandSelector::GetCommandSelectorInstance());
  VELCommand child(selector, "P2PSender");
  EXPECT_STREQ(child.GetName(), "P2PSender");
  EXPECT_EQ(child.GetParent(), selector);
}
