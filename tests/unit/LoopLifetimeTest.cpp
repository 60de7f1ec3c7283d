// The loop and the senders it drives may be destroyed in any order, with blocks still queued, and the
// process then exits cleanly: under the sanitizers, any touch of a destroyed loop aborts the child.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "host/VELLoopLink.h"
#include "host/VELTCPSender.h"
#include "support/NetSandbox.h"
#include "transport/VELP2PSending.h"
#include "velp2p/VELApplication.h"

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr int kBlocks = 3;
constexpr uint32_t kBlockBytes = 100;

std::vector<char> Block() {
  std::vector<char> block(kBlockBytes, 'b');
  uint32_t prefix = htonl(kBlockBytes);
  std::memcpy(block.data(), &prefix, sizeof(prefix));
  return block;
}

// Completes handshakes but takes a connection only when told: a block sent to it waits for a close.
struct Sink {
  int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  unsigned short port = 0;

  Sink() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = kLoopback;
    socklen_t length = sizeof(local);
    if (bind(descriptor, reinterpret_cast<sockaddr*>(&local), length) == 0 &&
        listen(descriptor, SOMAXCONN) == 0 &&
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length) == 0)
      port = ntohs(local.sin_port);
  }
  ~Sink() {
    close(descriptor);
    close(connection);
  }
  // Takes blocks one at a time, as they come: accepts a connection, reads its block and closes it, which
  // tells the sender the block was delivered. True when a block was taken.
  bool TakeOne() {
    if (connection < 0)
      connection = accept4(descriptor, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    char bytes[kBlockBytes];
    ssize_t count = connection < 0 ? -1 : recv(connection, bytes, kBlockBytes - received, 0);
    received += count > 0 ? static_cast<uint32_t>(count) : 0;
    if (received < kBlockBytes)
      return false;
    close(connection);
    connection = -1;
    received = 0;
    return true;
  }

  int connection = -1;  // being read
  uint32_t received = 0;
};

enum class Stage { kQueued, kDelivering, kDrained };

// Runs in a child. A released sender and a live one each hold blocks for a sink; the released one gets as
// far as the stage says; then the loop goes, the live sender is released after it, and the process exits
// with the sending state still to be destroyed.
[[noreturn]] void LoseTheLoopThenExit(Stage stage) {
  Sink released, live;
  auto loop = std::make_unique<VELApplication>();
  VELLoopLink link(loop.get());
  auto releasedSender = std::make_unique<VELTCPSender>(loop.get());
  auto liveSender = std::make_unique<VELTCPSender>(loop.get());
  static VELP2PSending sending;
  sending.Track(releasedSender.get());
  sending.Track(liveSender.get());
  for (int i = 0; i < kBlocks; ++i) {
    if (releasedSender->Enqueue(kLoopback, released.port, Block(), nullptr) != 0 ||
        liveSender->Enqueue(kLoopback, live.port, Block(), nullptr) != 0)
      std::_Exit(2);
  }
  sending.Release(std::move(releasedSender));
  if (link.Adopted() != 1)
    std::_Exit(3);
  int taken = 0;
  const int wanted = stage == Stage::kQueued ? 0 : stage == Stage::kDelivering ? 1 : kBlocks;
  const bool reached = loop->RunUntil(
      [&] {
        taken += taken < wanted && released.TakeOne() ? 1 : 0;
        return taken == wanted && sending.Pending() == 2 * kBlocks - taken;
      },
      30000);
  // Drained, the released sender is destroyed by its loop at once; otherwise the loop still holds it.
  if (!reached || link.Adopted() != (stage == Stage::kDrained ? 0 : 1))
    std::_Exit(4);
  loop.reset();
  if (link.Get() != nullptr || liveSender->Enqueue(kLoopback, live.port, Block(), nullptr) != ESHUTDOWN ||
      sending.Pending() != kBlocks)
    std::_Exit(5);
  sending.Release(std::move(liveSender));
  std::exit(sending.Pending());
}

}  // namespace

TEST(LoopLifetime, LoopGoesBeforeDuringOrAfterItsReleasedSenderDrainsAndTheProcessExitsCleanly) {
  VELP2P_REQUIRE_SANDBOX();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LoseTheLoopThenExit(Stage::kQueued), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(LoseTheLoopThenExit(Stage::kDelivering), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(LoseTheLoopThenExit(Stage::kDrained), ::testing::ExitedWithCode(0), "");
}

// Objects adopted by a loop go with it, before anything they registered does, and may be dropped earlier.
TEST(LoopLifetime, AdoptedObjectsAreDestroyedWhileTheLoopIsWholeOrWhenDropped) {
  struct Resident {
    Resident(VELApplication* loop, bool* gone)
        : loop(loop), timer(loop ? loop->AddTimer(60000, [] {}) : 0), gone(gone) {}
    ~Resident() {
      if (loop)
        loop->CancelTimer(timer);
      *gone = true;
    }
    VELApplication* loop;
    int timer;
    bool* gone;
  };
  bool firstGone = false, secondGone = false;
  auto loop = std::make_unique<VELApplication>();
  VELLoopLink link(loop.get());
  auto first = std::make_shared<Resident>(loop.get(), &firstGone);
  const void* firstAddress = first.get();
  ASSERT_TRUE(link.Adopt(std::move(first)));
  ASSERT_TRUE(link.Adopt(std::make_shared<Resident>(loop.get(), &secondGone)));
  EXPECT_EQ(link.Adopted(), 2);
  // Dropped from inside a turn, it lives until the turn ends.
  bool aliveInTurn = false;
  loop->AddTimer(0, [&] {
    link.Drop(firstAddress);
    aliveInTurn = !firstGone;
  });
  EXPECT_TRUE(loop->RunUntil([&] { return firstGone; }, 30000));
  EXPECT_TRUE(aliveInTurn);
  EXPECT_EQ(link.Adopted(), 1);
  loop.reset();
  EXPECT_TRUE(secondGone);
  EXPECT_EQ(link.Get(), nullptr);
  bool thirdGone = false;
  EXPECT_FALSE(link.Adopt(std::make_shared<Resident>(nullptr, &thirdGone)));
  EXPECT_TRUE(thirdGone);
}
