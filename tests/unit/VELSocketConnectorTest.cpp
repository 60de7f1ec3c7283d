// TCP messages: one block per connection, framing and bounds on the listening side, the sending queues.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "host/VELBlockRelease.h"
#include "host/VELOutgoingConnections.h"
#include "host/VELSockets.h"
#include "host/VELSystemCalls.h"
#include "support/NetSandbox.h"
#include "support/RawTcp.h"
#include "transport/VELP2PSending.h"
#include "transport/VELSocketConnector.h"
#include "transport/VELTCPProbe.h"
#include "transport/VELTCPSender.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELCommand.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class TcpMessage : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    // Only the test of the timeouts depends on them; the others must not lose a connection to a loop
    // that a loaded machine holds up.
    _connector.SetTimeouts(60000, 60000);
    ASSERT_EQ(_connector.Declare(nullptr, &_application), 0);
    ASSERT_NE(_connector.GetPort(), 0);
  }

  // Fails harmlessly when the test did not listen.
  void TearDown() override { _application.RemoveFileDescriptor(_connector.GetHandler(), &_owner); }

  void Listen() {
    ASSERT_EQ(_application.AddFileDescriptor(_connector.GetHandler(), &_owner, this, OnBlockReady), 0);
  }

  // Reads blocks the way the TCP endpoint does: a first try with 720 bytes, then the announced length.
  static void OnBlockReady(int, void*, void* data) {
    TcpMessage* test = static_cast<TcpMessage*>(data);
    VELSockets* socket = nullptr;
    if (test->_connector.Accept(&socket) != 0)
      return;
    // Decides whether the loopback records it names are usable.
    EXPECT_EQ(ntohl(socket->GetSource()) >> 24, 127u);
    std::vector<char> buffer(720);
    int length = 0;
    int result = socket->Receive(buffer.data(), static_cast<int>(buffer.size()), &length);
    if (result == VELSockets::kCapacityTooSmall) {
      buffer.resize(length);
      result = socket->Receive(buffer.data(), length, &length);
    }
    if (result == 0) {
      buffer.resize(length);
      test->_blocks.push_back(std::move(buffer));
    }
    delete socket;
  }

  // Sends one block from inside a loop callback, as a peer answering a message does; the result of the
  // connection, else of the send, goes to _sendResults.
  void SendFromLoop(std::vector<char> block) {
    _application.AddTimer(0, [this, block] {
      VELSockets socket;
      int result = socket.ConnectTo(kLoopback, _connector.GetPort());
      _sendResults.push_back(result != 0 ? result
                                         : socket.Send(block.data(), static_cast<int>(block.size())));
    });
  }

  bool TurnUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    return _application.RunUntil(done, timeoutMs);
  }

  // Writes one byte of the block every periodMs from the loop, as long as the connection takes them and
  // fewer than _dripUpTo were written.
  void Trickle(RawClient& client, const std::vector<char>& block, size_t& written, int periodMs) {
    _drip = [this, &client, &block, &written, periodMs] {
      if (written < block.size() && written < _dripUpTo && client.Write(&block[written], 1)) {
        ++written;
        _application.AddTimer(periodMs, _drip);
      }
    };
    _application.AddTimer(0, _drip);
  }

  // Writes block up to upTo from the loop as fast as the connection takes it, then calls then.
  void Pump(RawClient& client, const std::vector<char>& block, size_t upTo, std::function<void()> then = {}) {
    _writer.Pump(client, block, upTo, std::move(then));
  }

  // TurnUntil, noting the most bytes the connector held at any turn.
  bool TurnHolding(const std::function<bool()>& done, int timeoutMs = 3000) {
    return TurnUntil(
        [&] {
          _mostHeld = std::max(_mostHeld, _connector.GetBytesHeld());
          return done();
        },
        timeoutMs);
  }

  VELApplication _application;
  VELCommand _owner{nullptr, "P2PSender"};
  VELSocketConnector _connector{0, 5, 2};
  std::vector<std::vector<char>> _blocks;
  std::vector<int> _sendResults;
  std::function<void()> _drip;
  size_t _dripUpTo = SIZE_MAX;
  LoopWriter _writer{_application};
  size_t _mostHeld = 0;
};

}  // namespace

// Released as a disconnected endpoint's sender is, it still delivers what was queued.
TEST_F(TcpMessage, SenderDeliversBlocksUpToTheLargestInOrderEvenOnceReleasedAndRefusesAtOnceWhenFull) {
  Listen();
  VELTCPSender::Limits limits;
  limits.blocksPerDestination = 30;
  auto sender = std::make_unique<VELTCPSender>(&_application, limits);
  VELP2PSending sending;
  sending.Track(sender.get());
  unsigned short port = _connector.GetPort();
  std::vector<std::vector<char>> sent;
  const uint64_t calls = VELSystemCalls::Count();
  for (int i = 0; i < limits.blocksPerDestination; ++i) {
    sent.push_back(
        MakeBlock(i % 10 == 9 ? VELSockets::kMaxBlockBytes : 100 + i, static_cast<unsigned char>(i)));
    ASSERT_EQ(sender->Enqueue(kLoopback, port, std::vector<char>(sent.back()), nullptr), 0);
  }
  std::vector<char> lying = MakeBlock(100, 0);
  lying.pop_back();
  EXPECT_EQ(sender->Enqueue(kLoopback, port, std::move(lying), nullptr), EINVAL);
  EXPECT_EQ(sender->Enqueue(kLoopback, port, MakeBlock(VELSockets::kMaxBlockBytes + 1, 0), nullptr),
            EMSGSIZE);
  EXPECT_EQ(sender->Enqueue(kLoopback, port, MakeBlock(100, 0), nullptr), ENOBUFS);
  EXPECT_EQ(VELSystemCalls::Count(), calls);  // queued or refused, nothing reached the system yet
  EXPECT_EQ(sending.Pending(), limits.blocksPerDestination);
  sending.Release(std::move(sender));
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == sent.size(); }));
  EXPECT_TRUE(_blocks == sent);
  EXPECT_TRUE(TurnUntil([&] { return sending.Pending() == 0; }));
  EXPECT_EQ(_connector.GetDiscardedCount(), 0);
}

// Automatic blocks, however many and however stuck, take neither the application's room nor its
// connections.
TEST_F(TcpMessage, AutomaticBlocksHaveRoomAndConnectionsOfTheirOwn) {
  Listen();
  // A listener whose accept queue a filler keeps full answers no handshake.
  unsigned short silent = 0;
  int listener = BoundSocket(silent);
  ASSERT_EQ(listen(listener, 0), 0);
  RawClient filler(silent);
  using Lane = VELTCPSender::Lane;
  VELTCPSender::Limits limits;
  limits.automaticBlocks = 3;
  limits.automaticConnections = 1;
  limits.connections = 1;
  limits.connectDeadlineMs = 60000;
  {
    VELTCPSender sender(&_application, limits);
    for (int i = 0; i < limits.automaticBlocks; ++i)
      ASSERT_EQ(sender.Enqueue(kLoopback, silent, MakeBlock(100, 1), nullptr, Lane::kAutomatic), 0);
    EXPECT_EQ(sender.Enqueue(kLoopback, silent, MakeBlock(100, 2), nullptr, Lane::kAutomatic), ENOBUFS);
    EXPECT_EQ(sender.Enqueue(kLoopback, _connector.GetPort(), MakeBlock(100, 3), nullptr, Lane::kAutomatic),
              ENOBUFS);
    // The automatic connection waits on the silent listener; the application's block goes at once.
    std::vector<char> block = MakeBlock(200, 4);
    ASSERT_EQ(sender.Enqueue(kLoopback, _connector.GetPort(), std::vector<char>(block), nullptr), 0);
    ASSERT_TRUE(TurnUntil([&] { return sender.Pending(Lane::kApplication) == 0; }));
    ASSERT_EQ(_blocks.size(), 1u);
    EXPECT_EQ(_blocks[0], block);
    EXPECT_EQ(sender.Pending(Lane::kAutomatic), limits.automaticBlocks);
  }
  close(listener);
}

TEST_F(TcpMessage, SenderRetriesAnUnansweredHandshakeThenReportsTheDestinationDeadAndFailsFast) {
  // A listener whose accept queue (room for one) a filler keeps full: the kernel leaves further
  // handshakes unanswered, as a host that went away would.
  unsigned short port = 0;
  int listener = BoundSocket(port);
  // The retry must succeed however long the loop is held up, so that sender has time; the other gives up
  // soon.
  VELTCPSender::Limits limits;
  limits.firstRetryMs = 50;
  limits.connectDeadlineMs = 30000;
  VELTCPSender sender(&_application, limits);
  limits.connectDeadlineMs = 700;
  VELTCPSender hasty(&_application, limits);
  std::vector<std::pair<VELTCPSender::Failure, void*>> failures;
  for (VELTCPSender* each : {&sender, &hasty}) {
    each->SetFailureCallback([&](uint32_t, unsigned short to, VELTCPSender::Failure reason, void* tag) {
      EXPECT_EQ(to, port);
      failures.emplace_back(reason, tag);
    });
  }
  int tags[3];
  // Not listening yet: refused.
  ASSERT_EQ(sender.Enqueue(kLoopback, port, MakeBlock(100, 0), &tags[0]), 0);
  ASSERT_TRUE(TurnUntil([&] { return failures.size() == 1; }));
  EXPECT_EQ(failures[0], std::make_pair(VELTCPSender::Failure::kRefused, static_cast<void*>(&tags[0])));

  ASSERT_EQ(listen(listener, 0), 0);
  auto filler = std::make_unique<RawClient>(port);
  std::vector<char> block = MakeBlock(100, 1);
  ASSERT_EQ(sender.Enqueue(kLoopback, port, std::vector<char>(block), &tags[0]), 0);
  EXPECT_FALSE(TurnUntil([&] { return sender.Pending() == 0; }, 150));
  close(accept(listener, nullptr, nullptr));  // the filler's: room for a retried handshake
  int accepted = -1;
  ASSERT_TRUE(
      TurnUntil([&] { return (accepted = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; }));
  std::vector<char> received(block.size());
  ASSERT_TRUE(TurnUntil([&] { return recv(accepted, received.data(), received.size(), MSG_PEEK) == 100; }));
  ASSERT_EQ(recv(accepted, received.data(), received.size(), 0), 100);
  EXPECT_EQ(received, block);
  close(accepted);
  ASSERT_TRUE(TurnUntil([&] { return sender.Pending() == 0; }));
  EXPECT_EQ(failures.size(), 1u);

  filler = std::make_unique<RawClient>(port);
  Clock::time_point start = Clock::now();
  ASSERT_EQ(hasty.Enqueue(kLoopback, port, MakeBlock(100, 2), &tags[1]), 0);
  ASSERT_EQ(hasty.Enqueue(kLoopback, port, MakeBlock(100, 3), &tags[2]), 0);
  ASSERT_TRUE(TurnUntil([&] { return failures.size() == 3; }));
  EXPECT_GE(Clock::now() - start, milliseconds(650));
  EXPECT_EQ(failures[1], std::make_pair(VELTCPSender::Failure::kTimedOut, static_cast<void*>(&tags[1])));
  EXPECT_EQ(failures[2], std::make_pair(VELTCPSender::Failure::kTimedOut, static_cast<void*>(&tags[2])));
  EXPECT_EQ(hasty.Enqueue(kLoopback, port, MakeBlock(100, 4), nullptr), EHOSTDOWN);
  close(listener);
}

// While one client says nothing and another stopped halfway through its block, a real message arrives:
// neither holds up the loop.
TEST_F(TcpMessage, SilentAndTricklingClientsDoNotDelayARealMessage) {
  Listen();
  RawClient silent(_connector.GetPort());
  RawClient trickler(_connector.GetPort());
  std::vector<char> trickled = MakeBlock(150, 6);
  size_t written = 0;
  _dripUpTo = 10;
  Trickle(trickler, trickled, written, 1);
  ASSERT_TRUE(TurnUntil([&] { return written == _dripUpTo; }));

  std::vector<char> real = MakeBlock(100, 7);
  SendFromLoop(real);
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1; }));
  EXPECT_EQ(_blocks[0], real);
  EXPECT_EQ(written, _dripUpTo);

  _dripUpTo = SIZE_MAX;
  _application.AddTimer(0, _drip);
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 2; }));
  EXPECT_EQ(_blocks[1], trickled);
  EXPECT_EQ(_connector.GetConnectionsInProgress(), 1);  // the silent one
}

TEST_F(TcpMessage, TakesExactlyOneWellFramedBlockAndDropsMalformedOrCutOnes) {
  Listen();
  // One byte over the largest block, shorter than the length field itself, and 2^32 - 1.
  const std::vector<std::vector<unsigned char>> malformed = {
      {0x00, 0x40, 0x00, 0x01, 0xAA, 0xBB}, {0x00, 0x00, 0x00, 0x03}, {0xFF, 0xFF, 0xFF, 0xFF}};
  std::vector<std::unique_ptr<RawClient>> clients;
  for (const auto& bytes : malformed) {
    clients.push_back(std::make_unique<RawClient>(_connector.GetPort()));
    ASSERT_TRUE(clients.back()->Write(bytes.data(), bytes.size()));
  }
  std::vector<char> cut = MakeBlock(100, 10);
  RawClient closesEarly(_connector.GetPort());
  ASSERT_TRUE(closesEarly.Write(cut.data(), 10));
  closesEarly.Close();
  ASSERT_TRUE(TurnUntil([&] { return _connector.GetDiscardedCount() == 4; }));
  for (auto& client : clients) {
    EXPECT_TRUE(TurnUntil([&] { return client->SeesClose(); }));
  }
  EXPECT_EQ(_connector.GetConnectionsInProgress(), 0);
  EXPECT_TRUE(_blocks.empty());

  // Bytes after the block are ignored and the connection closed; a sender closing at once loses nothing;
  // a block of exactly four bytes (the length alone) is well formed.
  std::vector<char> kept = MakeBlock(64, 8);
  std::vector<char> withTail = kept;
  withTail.insert(withTail.end(), {'t', 'a', 'i', 'l'});
  RawClient staysOpen(_connector.GetPort());
  ASSERT_TRUE(staysOpen.Write(withTail.data(), withTail.size()));
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1; }));
  EXPECT_TRUE(TurnUntil([&] { return staysOpen.SeesClose(); }));
  const std::vector<char> empty = {0x00, 0x00, 0x00, 0x04};
  RawClient closesAtOnce(_connector.GetPort());
  ASSERT_TRUE(closesAtOnce.Write(empty.data(), empty.size()));
  closesAtOnce.Close();
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 2; }));
  EXPECT_EQ(_blocks, (std::vector<std::vector<char>>{kept, empty}));
}

TEST_F(TcpMessage, IdleAndLifetimeTimeoutsReclaimStalledConnections) {
  _connector.SetTimeouts(200, 400);
  Clock::time_point start = Clock::now();
  RawClient silent(_connector.GetPort());
  RawClient trickler(_connector.GetPort());
  std::vector<char> block = MakeBlock(1000, 11);
  size_t written = 0;
  Trickle(trickler, block, written, 50);
  // Both may go in one turn when the loop was held up past the idle time-out.
  ASSERT_TRUE(TurnUntil([&] { return _connector.GetDiscardedCount() >= 1; }));
  EXPECT_GE(Clock::now() - start, milliseconds(150));
  EXPECT_TRUE(TurnUntil([&] { return silent.SeesClose(); }));
  ASSERT_TRUE(TurnUntil([&] { return _connector.GetDiscardedCount() == 2; }));
  EXPECT_LT(written, block.size());  // still sending when its lifetime ran out
  EXPECT_EQ(_connector.GetConnectionsInProgress(), 0);
}

TEST_F(TcpMessage, TooManyConnectionsInProgressDropTheOldest) {
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < VELSocketConnector::kMaxInProgress; ++i) {
    clients.push_back(std::make_unique<RawClient>(_connector.GetPort()));
  }
  ASSERT_TRUE(
      TurnUntil([&] { return _connector.GetConnectionsInProgress() == VELSocketConnector::kMaxInProgress; }));
  EXPECT_EQ(_connector.GetDiscardedCount(), 0);
  clients.push_back(std::make_unique<RawClient>(_connector.GetPort()));
  ASSERT_TRUE(TurnUntil([&] { return _connector.GetDiscardedCount() == 1; }));
  EXPECT_EQ(_connector.GetConnectionsInProgress(), VELSocketConnector::kMaxInProgress);
  EXPECT_TRUE(TurnUntil([&] { return clients.front()->SeesClose(); }));
  EXPECT_FALSE(clients.back()->SeesClose());
}

TEST_F(TcpMessage, BlocksBeyondTheReadyBoundWaitUntilAcceptMakesRoom) {
  constexpr int kSent = VELSocketConnector::kMaxReady + 6;
  for (int i = 0; i < kSent; ++i) {
    SendFromLoop(MakeBlock(50, static_cast<unsigned char>(i)));
  }
  ASSERT_TRUE(TurnUntil([&] { return _connector.GetBlocksReady() == VELSocketConnector::kMaxReady; }));
  // Nobody accepts: the rest stay in the kernel's backlog instead of piling up here.
  EXPECT_FALSE(TurnUntil([&] { return _connector.GetBlocksReady() > VELSocketConnector::kMaxReady; }, 200));
  Listen();
  ASSERT_TRUE(TurnUntil([&] { return static_cast<int>(_blocks.size()) == kSent; }));
  EXPECT_EQ(_sendResults, std::vector<int>(kSent, 0));
  EXPECT_EQ(_connector.GetDiscardedCount(), 0);
}

// Connections that declare the largest block and stall pin no more than the bound; a block beyond it grows
// with its bytes, and both kinds arrive whole.
TEST_F(TcpMessage, LargeBlocksAreSizedAtOnceOnlyWithinTheBoundAndArriveWholeEitherWay) {
  Listen();
  const size_t bound = VELSocketConnector::kMaxSizedAtOnceBytes;
  const int within = static_cast<int>(bound / VELSockets::kMaxBlockBytes);
  std::vector<char> block = MakeBlock(VELSockets::kMaxBlockBytes, 15);
  const size_t head = 2048;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i <= within; ++i) {
    clients.push_back(std::make_unique<RawClient>(_connector.GetPort()));
    ASSERT_TRUE(clients.back()->Write(block.data(), head));
  }
  ASSERT_TRUE(TurnUntil([&] { return _connector.GetBytesSizedAtOnce() == bound; }));
  EXPECT_FALSE(TurnUntil([&] { return _connector.GetBytesSizedAtOnce() > bound; }, 100));
  std::thread rest([&] {
    for (int i : {within, 0}) {
      EXPECT_TRUE(clients[i]->Write(block.data() + head, block.size() - head));
    }
  });
  bool whole = TurnUntil([&] { return _blocks.size() == 2; });
  rest.join();
  ASSERT_TRUE(whole);
  EXPECT_TRUE(_blocks[0] == block && _blocks[1] == block);
  for (int i = 1; i < within; ++i) {
    clients[i]->Close();
  }
  EXPECT_TRUE(TurnUntil([&] { return _connector.GetConnectionsInProgress() == 0; }));
  EXPECT_EQ(_connector.GetBytesSizedAtOnce(), 0u);
}

// Three hosts bring half a largest block each and stall, a fourth sends a whole one: beyond the bound
// connections wait unread, and once the stalled ones close, the whole block arrives and every byte counted
// is given back.
TEST_F(TcpMessage, BeyondTheHeldBoundConnectionsWaitAndAWholeBlockStillArrives) {
  Listen();
  const size_t bound = 6 << 20;
  const size_t firstKilobytes = VELSocketConnector::kMaxInProgress * 1024;
  _connector.SetHeldBound(bound);
  std::vector<char> large = MakeBlock(VELSockets::kMaxBlockBytes, 20);
  std::vector<std::unique_ptr<RawClient>> stalled;
  for (int host = 2; host <= 4; ++host) {
    stalled.push_back(std::make_unique<RawClient>(_connector.GetPort(), LoopbackHost(host)));
    Pump(*stalled.back(), large, 2 << 20);
  }
  // One goes on to the end of what it has, counted at its whole length; that leaves no room for another.
  ASSERT_TRUE(TurnHolding([&] { return _connector.GetConnectionsPaused() == 2; }));
  RawClient whole(_connector.GetPort(), LoopbackHost(5));
  Pump(whole, large, large.size());
  ASSERT_TRUE(TurnHolding([&] { return _connector.GetConnectionsPaused() == 3; }));
  EXPECT_TRUE(_blocks.empty());
  for (auto& client : stalled) {
    client->Close();
  }
  ASSERT_TRUE(TurnHolding([&] { return _blocks.size() == 1; }, 10000));
  EXPECT_TRUE(_blocks[0] == large);
  EXPECT_TRUE(TurnHolding([&] { return _connector.GetConnectionsInProgress() == 0; }));
  EXPECT_EQ(_connector.GetDiscardedCount(), 3);
  EXPECT_EQ(_connector.GetBytesHeld(), 0u);
  EXPECT_EQ(_connector.GetConnectionsPaused(), 0);
  EXPECT_GT(_mostHeld, bound / 2);
  EXPECT_LE(_mostHeld, bound + firstKilobytes);
}

// The later of two blocks from one host waits behind the earlier, unread for longer than the idle timeout,
// and is not dropped for it: we are the ones not reading. Once it is read again, stalling drops it.
TEST_F(TcpMessage, AConnectionWaitingForRoomIsNotIdleButStallingOnceReadAgainDropsIt) {
  _connector.SetHeldBound(6 << 20);
  _connector.SetTimeouts(300, 10000);
  std::vector<char> large = MakeBlock(VELSockets::kMaxBlockBytes, 21);
  RawClient earlier(_connector.GetPort(), LoopbackHost(2));
  RawClient later(_connector.GetPort(), LoopbackHost(2));
  size_t trickled = 0;
  Pump(earlier, large, 2 << 20, [&] {
    trickled = 2 << 20;
    Trickle(earlier, large, trickled, 50);
  });
  Pump(later, large, 2 << 20);
  // The earlier one brings a byte every 50 ms for three idle timeouts.
  ASSERT_TRUE(TurnHolding(
      [&] { return _connector.GetConnectionsPaused() == 1 && trickled > (2u << 20) + 18; }, 5000));
  EXPECT_EQ(_connector.GetDiscardedCount(), 0);
  earlier.Close();
  ASSERT_TRUE(TurnHolding([&] { return _connector.GetDiscardedCount() == 2; }));
  EXPECT_TRUE(TurnUntil([&] { return later.SeesClose(); }));
  EXPECT_EQ(_connector.GetConnectionsInProgress(), 0);
  EXPECT_EQ(_connector.GetBytesHeld(), 0u);
  EXPECT_EQ(_connector.GetConnectionsPaused(), 0);
}

// Freed mappings are kept for the next blocks, reused only when long enough; blocks from the heap convert
// and are freed as they were allocated.
TEST(BlockMemory, KeptMappingsServeOnlyBlocksTheyHoldAndGoBackOnRelease) {
  std::vector<size_t> sizes = {100, 64 << 10, 100 << 10, 1 << 20, 3 << 20, VELSockets::kMaxBlockBytes};
  for (int round = 0; round < 2; ++round) {
    std::vector<VELBlockBytes> blocks;
    for (size_t size : sizes) {
      blocks.push_back(VELNewBlockBytes(size));
      ASSERT_TRUE(blocks.back());
      std::memset(blocks.back().get(), round, size);
    }
    std::reverse(sizes.begin(), sizes.end());
  }
  VELReleaseKeptBlockBytes();
  char* freed = VELNewBlockBytes(1 << 20).get();
  EXPECT_EQ(VELNewBlockBytes((1 << 20) - 4096).get(), freed);
  std::unique_ptr<char[]> fromHeap(new char[10]);
  VELBlockBytes converted(std::move(fromHeap));
  VELReleaseKeptBlockBytes();
}

// Loops may run on threads of their own: a full loop closes one of its own connections, never another's.
TEST(OutgoingConnections, ALoopMakesRoomAmongItsOwnConnectionsOnly) {
  VELApplication first(false);
  VELApplication second(false);
  std::vector<int> receivers;
  auto adopt = [&receivers](VELApplication& loop) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    receivers.push_back(pair[1]);
    ASSERT_EQ(VELOutgoingConnections::Adopt(&loop, pair[0], std::vector<char>{'x'}), 0);
  };
  adopt(first);
  for (int i = 0; i <= VELOutgoingConnections::kMaxConnections; ++i)
    adopt(second);
  EXPECT_EQ(VELOutgoingConnections::Count(&first), 1);
  EXPECT_EQ(VELOutgoingConnections::Count(&second), VELOutgoingConnections::kMaxConnections);
  char byte;
  errno = 0;
  EXPECT_EQ(recv(receivers[0], &byte, 1, 0), -1);  // still open, nothing sent: the loop has not turned
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(recv(receivers[1], &byte, 1, 0), 0);  // the second loop's oldest, closed to make room
  for (int receiver : receivers)
    close(receiver);
}

// The endpoint reads with a first guess of the length, then with the length the block announced.
TEST(TcpSockets, WithoutAnApplicationSendBlocksAndAcceptHandsOverTheWholeBlockOnce) {
  VELP2P_REQUIRE_SANDBOX();
  ASSERT_EQ(VELApplication::MainApplication(), nullptr);
  std::vector<char> block = MakeBlock(1000, 14);
  VELSockets unconnected;
  EXPECT_EQ(unconnected.Send(block.data(), 999), EINVAL);  // disagrees with the prefix
  VELSocketConnector connector(0, 5, 2);
  ASSERT_EQ(connector.Declare("127.0.0.1", nullptr), 0);
  VELSockets* accepted = nullptr;
  EXPECT_EQ(connector.Accept(&accepted), EAGAIN);
  EXPECT_EQ(accepted, nullptr);
  VELSockets sender;
  ASSERT_EQ(sender.ConnectTo(kLoopback, connector.GetPort()), 0);
  ASSERT_EQ(sender.Send(block.data(), static_cast<int>(block.size())), 0);
  ASSERT_EQ(connector.Accept(&accepted), 0);
  std::unique_ptr<VELSockets> owned(accepted);
  EXPECT_EQ(owned->GetSource(), kLoopback);
  std::vector<char> buffer(1000);
  int length = 0;
  EXPECT_EQ(owned->Receive(buffer.data(), 720, &length), 16393);  // the code callers test for
  EXPECT_EQ(length, 1000);
  ASSERT_EQ(owned->Receive(buffer.data(), 1000, &length), 0);
  EXPECT_EQ(buffer, block);
  EXPECT_EQ(owned->Receive(buffer.data(), 1000, &length), ENODATA);
}

TEST_F(TcpMessage, ProbeTellsListeningFromRefusedAndUnreachableAndTheListenerOnlyCountsADrop) {
  Listen();
  VELTCPProbe probe(&_application);
  std::vector<VELTCPProbe::Result> results;
  auto record = [&](VELTCPProbe::Result result) { results.push_back(result); };
  probe.Start(kLoopback, _connector.GetPort(), 1000, record);
  ASSERT_TRUE(TurnUntil([&] { return results.size() == 1 && _connector.GetDiscardedCount() == 1; }));
  // Nothing listens on port 1, and the namespace has no route to 10.0.0.0/8.
  probe.Start(kLoopback, 1, 1000, record);
  probe.Start(htonl(0x0A000001), 9, 1000, record);
  ASSERT_TRUE(TurnUntil([&] { return results.size() == 3; }));
  std::sort(results.begin() + 1, results.end());
  EXPECT_EQ(results,
            (std::vector<VELTCPProbe::Result>{VELTCPProbe::Result::kConnected, VELTCPProbe::Result::kRefused,
                                              VELTCPProbe::Result::kTimedOut}));
  EXPECT_TRUE(_blocks.empty());
  EXPECT_EQ(_connector.GetDiscardedCount(), 1);
  EXPECT_EQ(probe.InFlight(), 0);
}
