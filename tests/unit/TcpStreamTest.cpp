// Connections that carry many blocks: the hello and acknowledgements, the listener's streams and their
// bounds, and the sender's streams, their failures and their fallback to a connection per block.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/VELSockets.h"
#include "support/NetSandbox.h"
#include "support/RawTcp.h"
#include "transport/VELSocketConnector.h"
#include "transport/VELTCPSender.h"
#include "transport/VELTCPStreamFraming.h"
#include "velp2p/VELApplication.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values)
    bytes.push_back(static_cast<char>(value));
  return bytes;
}

std::vector<char> Ack(uint32_t count, bool closing) {
  std::vector<char> bytes(kVELTCPAckBytes);
  VELTCPWriteAck(count, closing, bytes.data());
  return bytes;
}

std::vector<char> Concatenated(const std::vector<std::vector<char>>& blocks) {
  std::vector<char> all;
  for (const auto& block : blocks)
    all.insert(all.end(), block.begin(), block.end());
  return all;
}

}  // namespace

TEST(StreamFraming, TheOpeningTellsABlockFromAHelloAndAnAcknowledgementCarriesTheClosingBit) {
  const std::pair<std::string, VELTCPOpening> cases[] = {
      {"", VELTCPOpening::kUndecided},
      {Bytes({0, 0, 0}), VELTCPOpening::kUndecided},
      {Bytes({0, 0, 0, 0}), VELTCPOpening::kUndecided},
      {Bytes({0, 0, 0, 0, 1}), VELTCPOpening::kHello},
      {Bytes({0, 0, 0, 0, 2}), VELTCPOpening::kUnknown},
      {Bytes({0, 0, 0, 0x60}), VELTCPOpening::kBlock},
  };
  for (const auto& [bytes, opening] : cases)
    EXPECT_EQ(VELTCPReadOpening(bytes.data(), bytes.size()), opening) << bytes.size();
  EXPECT_EQ(std::string(kVELTCPHello, kVELTCPHelloBytes), Bytes({0, 0, 0, 0, 1}));
  // Cut and malformed acknowledgements and blocks are the fuzz target's (TcpStreamFuzz and its corpus).
  EXPECT_EQ(Ack(12, true), std::vector<char>({static_cast<char>(0x80), 0, 0, 12}));
}

namespace {

// A listener that takes streams, handing its blocks on at the end of each turn.
class TcpStream : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    _connector.SetTimeouts(60000, 60000);
    _connector.SetStreams(true);
    ASSERT_EQ(_connector.Declare(nullptr, &_application), 0);
    _connector.SetReadyCallback([this] {
      VELBlockBytes block;
      int size = 0;
      uint32_t source = 0;
      while (_connector.TakeBlock(&block, &size, &source) == 0)
        _blocks.emplace_back(block.get(), block.get() + size);
    });
  }

  bool TurnUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    return _application.RunUntil(done, timeoutMs);
  }

  // A client from host that sent the hello and blocks.
  std::unique_ptr<RawClient> Open(int host, const std::vector<std::vector<char>>& blocks = {}) {
    auto client = std::make_unique<RawClient>(_connector.GetPort(), LoopbackHost(host));
    std::vector<char> bytes(kVELTCPHello, kVELTCPHello + kVELTCPHelloBytes);
    for (const auto& block : blocks)
      bytes.insert(bytes.end(), block.begin(), block.end());
    EXPECT_TRUE(client->Write(bytes.data(), bytes.size()));
    return client;
  }

  // The acknowledgements client has, once the last one is want (or the stream ended).
  std::vector<uint32_t> AcknowledgedUpTo(RawClient& client, uint32_t want) {
    std::vector<char> bytes;
    // Watched so that what arrives ends the turn that waits for it.
    _application.AddWatch(client.Descriptor(), true, false, [](int, bool, bool, bool) {});
    TurnUntil([&] {
      bool closed = client.SeesClose();
      client.ReadSome(bytes);
      std::vector<uint32_t> acks = Acknowledgements(bytes);
      return closed || (!acks.empty() && acks.back() == want);
    });
    _application.RemoveWatch(client.Descriptor());
    return Acknowledgements(bytes);
  }

  // Writes block up to upTo from the loop as fast as the connection takes it.
  void Pump(RawClient& client, const std::vector<char>& block, size_t upTo) {
    _writer.Pump(client, block, upTo);
  }

  VELApplication _application;
  LoopWriter _writer{_application};
  VELSocketConnector _connector{0, 5, 2};
  std::vector<std::vector<char>> _blocks;
};

}  // namespace

TEST_F(TcpStream, ListenerTakesBlockAfterBlockInOrderAndAcknowledgesThem) {
  std::vector<std::vector<char>> sent;
  for (int i = 0; i < 200; ++i)
    sent.push_back(MakeBlock(i == 100 ? 1 << 20 : 100 + (i * 37) % 3000, static_cast<unsigned char>(i)));
  auto client = Open(2, {sent[0]});
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1; }));
  // Acknowledged by the turn that handed it on: a receiver that dies after handling a block never leaves its
  // sender believing it lost.
  std::vector<char> acks;
  client->ReadSome(acks);
  EXPECT_EQ(Acknowledgements(acks), std::vector<uint32_t>({1}));
  const std::vector<char> rest = Concatenated(std::vector<std::vector<char>>(sent.begin() + 1, sent.end()));
  Pump(*client, rest, rest.size());
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == sent.size(); }));
  EXPECT_TRUE(_blocks == sent);
  EXPECT_EQ(_connector.GetStreams(), 1);
  EXPECT_EQ(_connector.GetConnectionsInProgress(), 0);
  EXPECT_EQ(AcknowledgedUpTo(*client, 200).back(), 200u);
  // The sender ends it between blocks: nothing is lost, nothing counts as dropped.
  client->Close();
  ASSERT_TRUE(TurnUntil([&] { return _connector.GetStreams() == 0; }));
  EXPECT_EQ(_connector.GetDiscardedCount(), 0);
  EXPECT_EQ(_connector.GetBytesHeld(), 0u);
}

// Beyond the bound of its host, a stream takes the place of the quietest one between blocks, which closes
// with the count it took; with none quiet it is refused with a count of 0. The same over all hosts.
TEST_F(TcpStream, ListenerBoundsStreamsPerHostAndInTotal) {
  _connector.SetStreamBounds(2, 1, 60000);
  auto first = Open(2, {MakeBlock(50, 1)});
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1; }));
  auto second = Open(2);
  EXPECT_EQ(AcknowledgedUpTo(*first, 1 | kVELTCPClosingBit),
            std::vector<uint32_t>({1, 1 | kVELTCPClosingBit}));
  std::vector<char> half = MakeBlock(200, 2);
  ASSERT_TRUE(second->Write(half.data(), 100));  // busy in the middle of a block
  ASSERT_TRUE(TurnUntil([&] { return _connector.GetBytesHeld() >= 100; }));
  auto refused = Open(2, {MakeBlock(60, 3)});
  EXPECT_EQ(AcknowledgedUpTo(*refused, kVELTCPClosingBit), std::vector<uint32_t>({kVELTCPClosingBit}));
  EXPECT_TRUE(TurnUntil([&] { return refused->SeesClose(); }));

  auto third = Open(3);
  ASSERT_TRUE(TurnUntil([&] { return _connector.GetStreams() == 2; }));
  auto fourth = Open(4);  // the bound over all hosts: the third is the one between blocks
  EXPECT_EQ(AcknowledgedUpTo(*third, kVELTCPClosingBit), std::vector<uint32_t>({kVELTCPClosingBit}));
  ASSERT_TRUE(second->Write(half.data() + 100, 100));
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 2; }));
  EXPECT_EQ(_blocks[1], half);
  EXPECT_EQ(_blocks.size(), 2u);  // nothing of the refused stream was taken
  EXPECT_EQ(_connector.GetStreams(), 2);
}

// Silence in the middle of a block drops the stream as it would drop a connection of one block; silence
// between blocks is allowed until the stream's idle time, after which it is closed with its last count.
TEST_F(TcpStream, StallingInABlockDropsAStreamWhileSilenceBetweenBlocksEndsItInOrder) {
  _connector.SetTimeouts(200, 10000);
  _connector.SetStreamBounds(256, 64, 600);
  auto quiet = Open(2, {MakeBlock(80, 1)});
  std::vector<char> block = MakeBlock(300, 2);
  auto stalled = Open(3);
  ASSERT_TRUE(stalled->Write(block.data(), 150));
  ASSERT_TRUE(TurnUntil([&] { return _connector.GetDiscardedCount() == 1; }));
  EXPECT_EQ(_connector.GetStreams(), 1);
  EXPECT_TRUE(TurnUntil([&] { return stalled->SeesClose(); }));
  EXPECT_EQ(AcknowledgedUpTo(*quiet, 1 | kVELTCPClosingBit).back(), 1 | kVELTCPClosingBit);
  EXPECT_TRUE(TurnUntil([&] { return quiet->SeesClose() && _connector.GetStreams() == 0; }));
  EXPECT_EQ(_connector.GetDiscardedCount(), 1);
  EXPECT_EQ(_blocks.size(), 1u);
}

// Streams are held to the bound on the bytes held like connections of one block: beyond it they wait unread,
// and a whole block still arrives once the stalled ones go.
TEST_F(TcpStream, TheBoundOnBytesHeldHoldsAcrossStreams) {
  const size_t bound = 6 << 20;
  _connector.SetHeldBound(bound);
  std::vector<char> large = MakeBlock(VELSockets::kMaxBlockBytes, 20);
  std::vector<std::unique_ptr<RawClient>> stalled;
  for (int host = 2; host <= 4; ++host) {
    stalled.push_back(Open(host));
    Pump(*stalled.back(), large, 2 << 20);
  }
  size_t most = 0;
  auto holding = [&](const std::function<bool()>& done) {
    return TurnUntil([&] {
      most = std::max(most, _connector.GetBytesHeld());
      return done();
    });
  };
  ASSERT_TRUE(holding([&] { return _connector.GetConnectionsPaused() == 2; }));
  auto whole = Open(5);
  Pump(*whole, large, large.size());
  ASSERT_TRUE(holding([&] { return _connector.GetConnectionsPaused() == 3; }));
  for (auto& client : stalled)
    client->Close();
  ASSERT_TRUE(holding([&] { return _blocks.size() == 1; }));
  EXPECT_TRUE(_blocks[0] == large);
  EXPECT_TRUE(holding([&] { return _connector.GetStreams() == 1; }));
  EXPECT_EQ(_connector.GetDiscardedCount(), 3);
  EXPECT_LE(most, bound + VELSocketConnector::kMaxInProgress * 1024);
  EXPECT_EQ(_connector.GetBytesHeld(), 0u);
}

namespace {

// A sender on the loop of the fixture, recording what it delivered and what failed, by tag.
class StreamSender : public TcpStream {
 protected:
  void Start(VELTCPSender::Limits limits = VELTCPSender::Limits()) {
    _sender = std::make_unique<VELTCPSender>(&_application, limits);
    _sender->SetDeliveredCallback(
        [this](void* tag) { _delivered.push_back(reinterpret_cast<intptr_t>(tag)); });
    _sender->SetFailureCallback([this](uint32_t, unsigned short, VELTCPSender::Failure reason, void* tag) {
      _failed.push_back(reinterpret_cast<intptr_t>(tag));
      _reason = reason;
    });
  }
  void Send(unsigned short port, const std::vector<char>& block, intptr_t tag, bool stream = true) {
    ASSERT_EQ(_sender->Enqueue(kLoopback, port, std::vector<char>(block), reinterpret_cast<void*>(tag),
                               VELTCPSender::Lane::kApplication, stream),
              0);
  }
  // Accepts the sender's next connection on listener and reads the hello and count blocks from it.
  int AcceptAndRead(int listener, size_t count, std::vector<std::vector<char>>& blocks, bool& hello) {
    int accepted = -1;
    EXPECT_TRUE(
        TurnUntil([&] { return (accepted = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; }));
    std::vector<char> bytes;
    TurnUntil([&] {
      char chunk[4096];
      ssize_t got;
      while ((got = recv(accepted, chunk, sizeof(chunk), 0)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
      size_t at = bytes.size() >= 5 && std::memcmp(bytes.data(), kVELTCPHello, 5) == 0 ? 5 : 0;
      size_t found = 0;
      uint32_t length;
      while (bytes.size() - at >= 4 &&
             (std::memcpy(&length, &bytes[at], 4), bytes.size() - at >= ntohl(length))) {
        at += ntohl(length);
        ++found;
      }
      return found == count;
    });
    hello = bytes.size() >= 5 && std::memcmp(bytes.data(), kVELTCPHello, 5) == 0;
    for (size_t at = hello ? 5 : 0; at + 4 <= bytes.size();) {
      uint32_t length;
      std::memcpy(&length, &bytes[at], 4);
      blocks.emplace_back(&bytes[at], &bytes[at] + ntohl(length));
      at += ntohl(length);
    }
    return accepted;
  }

  std::unique_ptr<VELTCPSender> _sender;
  std::vector<intptr_t> _delivered, _failed;
  VELTCPSender::Failure _reason = VELTCPSender::Failure::kTimedOut;
};

}  // namespace

// Blocks of both lanes, short and long, go on one connection in the order they were given; once nothing is
// on its way for the idle time, the sender ends it and the listener forgets it without a drop.
TEST_F(StreamSender, OneConnectionCarriesEveryBlockInOrderAndClosesWhenIdle) {
  VELTCPSender::Limits limits;
  limits.streamIdleMs = 200;
  limits.automaticBlocksPerDestination = 256;
  Start(limits);
  std::vector<std::vector<char>> sent;
  for (int i = 0; i < 500; ++i) {
    sent.push_back(MakeBlock(i % 97 == 0 ? 512 << 10 : 90 + i, static_cast<unsigned char>(i)));
    ASSERT_EQ(_sender->Enqueue(kLoopback, _connector.GetPort(), std::vector<char>(sent.back()),
                               reinterpret_cast<void*>(intptr_t{i}),
                               i % 3 == 0 ? VELTCPSender::Lane::kAutomatic : VELTCPSender::Lane::kApplication,
                               true),
              0);
  }
  ASSERT_TRUE(TurnUntil([&] { return _delivered.size() == sent.size(); }));
  EXPECT_TRUE(_blocks == sent);
  EXPECT_EQ(_sender->Streams(), 1);
  EXPECT_EQ(_connector.GetStreams(), 1);
  EXPECT_EQ(_connector.GetConnectionsInProgress(), 0);
  std::vector<intptr_t> order(sent.size());
  for (size_t i = 0; i < order.size(); ++i)
    order[i] = static_cast<intptr_t>(i);
  EXPECT_EQ(_delivered, order);
  ASSERT_TRUE(TurnUntil([&] { return _sender->Streams() == 0 && _connector.GetStreams() == 0; }));
  EXPECT_EQ(_connector.GetDiscardedCount(), 0);
  EXPECT_TRUE(_failed.empty());
}

// With the lane's room taken by a stream, another destination waits only until that stream's blocks are
// acknowledged: the idle stream then makes room at once, long before its idle time ends.
TEST_F(StreamSender, ADestinationWaitingForRoomGetsItOnceAStreamGoesIdle) {
  VELTCPSender::Limits limits;
  limits.connections = 1;
  limits.streamIdleMs = 120000;
  Start(limits);
  const std::vector<char> first = MakeBlock(100, 1), second = MakeBlock(100, 2);
  ASSERT_EQ(_sender->Enqueue(LoopbackHost(2), _connector.GetPort(), std::vector<char>(first),
                             reinterpret_cast<void*>(intptr_t{1}), VELTCPSender::Lane::kApplication, true),
            0);
  ASSERT_EQ(_sender->Enqueue(LoopbackHost(3), _connector.GetPort(), std::vector<char>(second),
                             reinterpret_cast<void*>(intptr_t{2}), VELTCPSender::Lane::kApplication, true),
            0);
  ASSERT_TRUE(TurnUntil([&] { return _delivered.size() == 2; }));
  EXPECT_EQ(_delivered, (std::vector<intptr_t>{1, 2}));
  EXPECT_EQ(_blocks, (std::vector<std::vector<char>>{first, second}));
  EXPECT_EQ(_sender->Streams(), 1);
  EXPECT_TRUE(_failed.empty());
}

// A receiver that breaks the connection fails exactly what it did not acknowledge; one that closes with its
// closing count gets the rest again, in order, on a new connection, and nothing fails.
TEST_F(StreamSender, UnacknowledgedBlocksFailOnABrokenStreamAndReturnedOnesGoAgain) {
  Start();
  unsigned short port = 0;
  int listener = BoundSocket(port);
  ASSERT_EQ(listen(listener, 8), 0);
  ASSERT_EQ(fcntl(listener, F_SETFL, O_NONBLOCK), 0);  // accepted from the loop's turns
  std::vector<std::vector<char>> sent;
  for (int i = 0; i < 5; ++i) {
    sent.push_back(MakeBlock(120 + i, static_cast<unsigned char>(i)));
    Send(port, sent.back(), i);
  }
  std::vector<std::vector<char>> got;
  bool hello = false;
  int connection = AcceptAndRead(listener, 5, got, hello);
  EXPECT_TRUE(hello);
  EXPECT_EQ(got, sent);
  ASSERT_EQ(send(connection, Ack(2, false).data(), 4, 0), 4);
  linger now{1, 0};
  setsockopt(connection, SOL_SOCKET, SO_LINGER, &now, sizeof(now));
  close(connection);
  ASSERT_TRUE(TurnUntil([&] { return _delivered.size() + _failed.size() == 5; }));
  EXPECT_EQ(_delivered, std::vector<intptr_t>({0, 1}));
  EXPECT_EQ(_failed, std::vector<intptr_t>({2, 3, 4}));
  EXPECT_EQ(_reason, VELTCPSender::Failure::kReset);

  _delivered.clear();
  _failed.clear();
  for (int i = 5; i < 9; ++i)
    Send(port, sent[static_cast<size_t>(i - 5)], i);
  got.clear();
  connection = AcceptAndRead(listener, 4, got, hello);
  ASSERT_EQ(send(connection, Ack(1, true).data(), 4, 0), 4);
  close(connection);
  got.clear();
  connection = AcceptAndRead(listener, 3, got, hello);
  EXPECT_TRUE(hello);
  EXPECT_EQ(got, std::vector<std::vector<char>>(sent.begin() + 1, sent.begin() + 4));
  ASSERT_EQ(send(connection, Ack(3, false).data(), 4, 0), 4);
  ASSERT_TRUE(TurnUntil([&] { return _delivered.size() == 4; }));
  EXPECT_EQ(_delivered, std::vector<intptr_t>({5, 6, 7, 8}));
  EXPECT_TRUE(_failed.empty());

  // A receiver gone between blocks: a block given in the turn that finds it gone, before the sender reads of
  // it, never left, and goes on a new connection rather than fail. What gives it is ready first in that turn:
  // it is made ready, and seen once, before the receiver goes.
  int given[2];
  ASSERT_EQ(pipe2(given, O_NONBLOCK | O_CLOEXEC), 0);
  bool armed = false;
  _application.AddWatch(given[0], true, false, [&](int, bool, bool, bool) {
    char byte;
    if (armed && read(given[0], &byte, 1) == 1)
      Send(port, sent[4], 9);
  });
  ASSERT_EQ(write(given[1], "x", 1), 1);
  _application.ProcessReady();
  armed = true;
  close(connection);
  got.clear();
  connection = AcceptAndRead(listener, 1, got, hello);
  EXPECT_TRUE(hello);
  EXPECT_EQ(got, std::vector<std::vector<char>>({sent[4]}));
  ASSERT_EQ(send(connection, Ack(1, false).data(), 4, 0), 4);
  ASSERT_TRUE(TurnUntil([&] { return _delivered.size() == 5; }));
  EXPECT_TRUE(_failed.empty());
  _application.RemoveWatch(given[0]);
  close(given[0]);
  close(given[1]);
  close(connection);
  close(listener);
}

// A receiver that refuses streams (here: one without room for any) has the blocks sent to it again one per
// connection; one that does not know the hello drops it, and the block fails, but the next go one per
// connection.
TEST_F(StreamSender, AReceiverThatRefusesOrIgnoresTheHelloGetsABlockPerConnection) {
  Start();
  _connector.SetStreamBounds(0, 0, 60000);
  std::vector<std::vector<char>> sent = {MakeBlock(100, 1), MakeBlock(200, 2)};
  Send(_connector.GetPort(), sent[0], 0);
  Send(_connector.GetPort(), sent[1], 1);
  ASSERT_TRUE(TurnUntil([&] { return _delivered.size() == 2; }));
  EXPECT_EQ(_blocks, sent);
  EXPECT_TRUE(_failed.empty());
  EXPECT_EQ(_sender->Streams(), 0);

  VELSocketConnector plain(0, 5, 2);
  ASSERT_EQ(plain.Declare(nullptr, &_application), 0);
  std::vector<std::vector<char>> taken;
  plain.SetReadyCallback([&] {
    VELBlockBytes block;
    int size = 0;
    uint32_t source = 0;
    while (plain.TakeBlock(&block, &size, &source) == 0)
      taken.emplace_back(block.get(), block.get() + size);
  });
  Send(plain.GetPort(), sent[0], 2);
  ASSERT_TRUE(TurnUntil([&] { return _failed.size() == 1; }));
  Send(plain.GetPort(), sent[1], 3);
  ASSERT_TRUE(TurnUntil([&] { return _delivered.size() == 3; }));
  EXPECT_EQ(taken, std::vector<std::vector<char>>({sent[1]}));
  EXPECT_EQ(_failed, std::vector<intptr_t>({2}));
}
