// The loop, a node and the senders the loop drives may be destroyed in any order, with blocks still queued,
// and the process then exits cleanly: under the sanitizers, any touch of a destroyed loop or node aborts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/VELP2PNode.h"
#include "core/VELP2POptions.h"
#include "host/VELLoopLink.h"
#include "support/NetSandbox.h"
#include "transport/VELP2PSending.h"
#include "transport/VELTCPSender.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"

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
  // Takes blocks one at a time, as they come: accepts a connection, reads its block (as long as its length
  // prefix says) and closes it, which tells the sender the block was delivered. True when a block was taken.
  bool TakeOne() {
    if (connection < 0)
      connection = accept4(descriptor, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    for (ssize_t count = 1; connection >= 0 && count > 0 && (received < 4 || received < Length());) {
      count = recv(connection, bytes.data() + received, (received < 4 ? 4 : Length()) - received, 0);
      received += count > 0 ? static_cast<uint32_t>(count) : 0;
    }
    if (received < 4 || received < Length())
      return false;
    close(connection);
    connection = -1;
    received = 0;
    return true;
  }
  uint32_t Length() const {
    uint32_t prefix;
    std::memcpy(&prefix, bytes.data(), sizeof(prefix));
    return std::min<uint32_t>(ntohl(prefix), static_cast<uint32_t>(bytes.size()));
  }

  int connection = -1;  // being read
  uint32_t received = 0;
  std::vector<char> bytes = std::vector<char>(4096);
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

enum class Order { kNodeThenLoop, kLoopThenNode, kNodeThenDrainedThenLoop, kPeerOutlivesNodeAndLoop };

// A started node with kBlocks messages queued for a sink that takes none until told, then the loop, the
// node, its peer and the sender its TCP endpoint releases go in the order given.
void LoseInOrder(Order order) {
  Sink sink;
  ASSERT_NE(sink.port, 0);
  auto loop = std::make_unique<VELApplication>(false);
  VELLoopLink link(loop.get());
  auto node = std::make_unique<VELP2PNode>(loop.get());
  VELP2PPeer* peer = &node->Peer();
  VELP2POptions options;
  ASSERT_EQ(options.Set("endpoints", "VELP2PMultiCastEndPoint|224.0.1.85|" + std::to_string(VELTestPort(72)) +
                                         "\nVELP2PTCPEndPoint|127.0.0.1|0\n"),
            VEL_S_OK);
  ASSERT_EQ(peer->Start(options), VEL_S_OK);
  const uint8_t record[] = {8, 1, uint8_t(sink.port >> 8), uint8_t(sink.port), 127, 0, 0, 1};
  auto* info = new VELP2PPeerInfo("sink", 1, "/");
  ASSERT_EQ(info->Initialize(reinterpret_cast<const char*>(record), sizeof(record)), VEL_S_OK);
  ASSERT_EQ(peer->NewPeerBirth(info), VEL_S_OK);
  char data[] = "x";
  for (int i = 0; i < kBlocks; ++i)
    ASSERT_EQ(peer->SendP2PMessage("sink", 1, "", data, 1), VEL_S_OK);
  ASSERT_TRUE(loop->RunUntil([&] { return node->Sending()->Pending() == kBlocks; }, 30000));
  if (order == Order::kPeerOutlivesNodeAndLoop)
    peer->AddRef();
  if (order == Order::kLoopThenNode) {
    loop.reset();
    node.reset();
    return;
  }
  // The close notification fires while the node goes; what it sends then is the loop's to deliver.
  node.reset();
  EXPECT_EQ(link.Adopted(), 1);
  if (order == Order::kNodeThenDrainedThenLoop) {
    int taken = 0;
    ASSERT_TRUE(loop->RunUntil(
        [&] {
          taken += sink.TakeOne() ? 1 : 0;
          return link.Adopted() == 0;
        },
        30000));
    EXPECT_EQ(taken, kBlocks);
  }
  loop.reset();
  if (order == Order::kPeerOutlivesNodeAndLoop) {
    EXPECT_FALSE(peer->Connected());
    EXPECT_EQ(peer->InitP2PForRTC(), VEL_E_FAIL);
    EXPECT_EQ(peer->SendP2PMessage("sink", 1, "", data, 1), VEL_E_FAIL);
    peer->Release();
  }
}

}  // namespace

TEST(LoopLifetime, TheLoopANodeAndItsReleasedSendersGoInAnyOrder) {
  VELP2P_REQUIRE_SANDBOX();
  for (Order order : {Order::kNodeThenLoop, Order::kLoopThenNode, Order::kNodeThenDrainedThenLoop,
                      Order::kPeerOutlivesNodeAndLoop}) {
    SCOPED_TRACE(static_cast<int>(order));
    LoseInOrder(order);
  }
}

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
