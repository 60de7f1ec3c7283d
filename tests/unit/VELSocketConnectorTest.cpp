// TCP messages: one block per connection, framing and bounds on the listening side, the sending queue.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/VELOutgoingConnections.h"
#include "host/VELSocketConnector.h"
#include "host/VELSockets.h"
#include "support/NetSandbox.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELCommand.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A block of the given total size: four-byte big-endian length, then a pattern that depends on the seed.
std::vector<char> MakeBlock(uint32_t size, unsigned char seed) {
  std::vector<char> block(size);
  uint32_t prefix = htonl(size);
  std::memcpy(block.data(), &prefix, 4);
  for (uint32_t i = 4; i < size; ++i) {
    block[i] = static_cast<char>(i * 31 + seed);
  }
  return block;
}

int CountOpenDescriptors() {
  int count = 0;
  DIR* directory = opendir("/proc/self/fd");
  while (directory != nullptr && readdir(directory) != nullptr) {
    ++count;
  }
  if (directory != nullptr) {
    closedir(directory);
  }
  return count;
}

// A plain client socket that the test drives byte by byte.
class RawClient {
 public:
  explicit RawClient(unsigned short port) {
    _descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in remote = {};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = kLoopback;
    remote.sin_port = htons(port);
    _connected = connect(_descriptor, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) == 0;
  }
  ~RawClient() { Close(); }
  bool Connected() const { return _connected; }
  bool Write(const void* bytes, size_t length) {
    return send(_descriptor, bytes, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
  }
  // True once the other side has closed (end of stream or reset).
  bool SeesClose() {
    char byte;
    ssize_t count = recv(_descriptor, &byte, 1, MSG_DONTWAIT);
    return count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }
  void Close() {
    if (_descriptor >= 0) {
      close(_descriptor);
      _descriptor = -1;
    }
  }

 private:
  int _descriptor;
  bool _connected;
};

class TcpMessage : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    _connector = std::make_unique<VELSocketConnector>(0, 5, 2);
    ASSERT_EQ(_connector->Declare(nullptr), 0);
    ASSERT_NE(_connector->GetPort(), 0);
  }

  void TearDown() override {
    if (_listening) {
      _application.RemoveFileDescriptor(_connector->GetHandler(), &_owner);
    }
    _connector.reset();
  }

  // Reads blocks the way the TCP endpoint does: a first try with 720 bytes, then the announced length.
  void Listen() {
    ASSERT_EQ(_application.AddFileDescriptor(_connector->GetHandler(), &_owner, this, OnBlockReady), 0);
    _listening = true;
  }

  static void OnBlockReady(int, void*, void* data) {
    TcpMessage* test = static_cast<TcpMessage*>(data);
    VELSockets* socket = nullptr;
    if (test->_connector->Accept(&socket) != 0 || socket == nullptr) {
      ++test->_failedAccepts;
      return;
    }
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

  // Sends one block from inside a loop callback, as a peer answering a message does.
  void SendFromLoop(std::vector<char> block, int* result) {
    *result = -1;
    _application.AddTimer(0, [this, block, result] {
      VELSockets socket;
      *result = socket.ConnectTo(kLoopback, _connector->GetPort());
      if (*result == 0) {
        *result = socket.Send(block.data(), static_cast<int>(block.size()));
      }
    });
  }

  bool TurnUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    return _application.RunUntil(done, timeoutMs);
  }

  VELApplication _application;
  VELCommand _owner{nullptr, "P2PSender"};
  std::unique_ptr<VELSocketConnector> _connector;
  bool _listening = false;
  std::vector<std::vector<char>> _blocks;
  int _failedAccepts = 0;
};

}  // namespace

TEST_F(TcpMessage, SmallBlockArrivesWholeAndBothSidesClose) {
  Listen();
  std::vector<char> block = MakeBlock(100, 1);
  int result = 0;
  SendFromLoop(block, &result);
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1; }));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(_blocks[0], block);
  EXPECT_EQ(_connector->GetConnectionsInProgress(), 0);
  // The sending side closes once it has seen the receiver's close.
  EXPECT_TRUE(TurnUntil([] { return VELOutgoingConnections::Count() == 0; }));
}

TEST_F(TcpMessage, OneMebibyteBlockSentToItselfFromACallback) {
  Listen();
  std::vector<char> block = MakeBlock(1 << 20, 2);
  int result = 0;
  SendFromLoop(block, &result);
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1; }));
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(_blocks[0] == block);
}

TEST_F(TcpMessage, LargestBlockPassesAndOneByteMoreIsRefused) {
  Listen();
  std::vector<char> largest = MakeBlock(VELSockets::kMaxBlockBytes, 3);
  int result = 0;
  SendFromLoop(largest, &result);
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1; }));
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(_blocks[0] == largest);

  VELSockets socket;
  ASSERT_EQ(socket.ConnectTo(kLoopback, _connector->GetPort()), 0);
  std::vector<char> tooLarge = MakeBlock(VELSockets::kMaxBlockBytes + 1, 3);
  EXPECT_EQ(socket.Send(tooLarge.data(), static_cast<int>(tooLarge.size())), EMSGSIZE);
}

TEST_F(TcpMessage, ReceiveAsksForTheFullLengthThenDeliversOnce) {
  std::vector<char> block = MakeBlock(1000, 4);
  int result = 0;
  SendFromLoop(block, &result);
  ASSERT_TRUE(TurnUntil([&] { return _connector->GetBlocksReady() == 1; }));
  VELSockets* socket = nullptr;
  ASSERT_EQ(_connector->Accept(&socket), 0);
  std::unique_ptr<VELSockets> owned(socket);
  std::vector<char> buffer(1000);
  int length = 0;
  EXPECT_EQ(owned->Receive(buffer.data(), 720, &length), VELSockets::kCapacityTooSmall);
  EXPECT_EQ(length, 1000);
  EXPECT_EQ(owned->Receive(buffer.data(), 1000, &length), 0);
  EXPECT_EQ(length, 1000);
  EXPECT_EQ(buffer, block);
  EXPECT_EQ(owned->Receive(buffer.data(), 1000, &length), ENODATA);
  EXPECT_EQ(_connector->Accept(&socket), EAGAIN);
  EXPECT_EQ(socket, nullptr);
}

TEST_F(TcpMessage, SilentClientDoesNotDelayARealMessage) {
  Listen();
  RawClient silent(_connector->GetPort());
  ASSERT_TRUE(silent.Connected());
  ASSERT_TRUE(TurnUntil([&] { return _connector->GetConnectionsInProgress() == 1; }));
  Clock::time_point start = Clock::now();
  int result = 0;
  SendFromLoop(MakeBlock(100, 5), &result);
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1; }));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_EQ(_connector->GetConnectionsInProgress(), 1);
}

TEST_F(TcpMessage, TricklingClientDelaysNothingAndStillArrivesWhole) {
  Listen();
  RawClient trickler(_connector->GetPort());
  ASSERT_TRUE(trickler.Connected());
  std::vector<char> trickled = MakeBlock(150, 6);
  size_t written = 0;
  std::function<void()> dripOne = [&] {
    trickler.Write(&trickled[written++], 1);
    if (written < trickled.size()) {
      _application.AddTimer(1, dripOne);
    }
  };
  _application.AddTimer(0, dripOne);
  ASSERT_TRUE(TurnUntil([&] { return written >= 10; }));

  Clock::time_point start = Clock::now();
  std::vector<char> real = MakeBlock(100, 7);
  int result = 0;
  SendFromLoop(real, &result);
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1; }));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_EQ(_blocks[0], real);
  EXPECT_LT(written, trickled.size());

  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 2; }));
  EXPECT_EQ(_blocks[1], trickled);
}

TEST_F(TcpMessage, DeclaredLengthsOutsideTheBoundsDropTheConnection) {
  Listen();
  // 0x00400001 is one byte over the largest block, 0x00000003 is shorter than the length field itself.
  const unsigned char tooLong[] = {0x00, 0x40, 0x00, 0x01, 0xAA, 0xBB};
  const unsigned char tooShort[] = {0x00, 0x00, 0x00, 0x03};
  const unsigned char huge[] = {0xFF, 0xFF, 0xFF, 0xFF};
  RawClient first(_connector->GetPort());
  RawClient second(_connector->GetPort());
  RawClient third(_connector->GetPort());
  ASSERT_TRUE(first.Write(tooLong, sizeof(tooLong)));
  ASSERT_TRUE(second.Write(tooShort, sizeof(tooShort)));
  ASSERT_TRUE(third.Write(huge, sizeof(huge)));
  ASSERT_TRUE(TurnUntil([&] { return _connector->GetDiscardedCount() == 3; }));
  EXPECT_TRUE(TurnUntil([&] { return first.SeesClose() && second.SeesClose() && third.SeesClose(); }));
  EXPECT_EQ(_connector->GetConnectionsInProgress(), 0);
  EXPECT_TRUE(_blocks.empty());

  // A block of exactly four bytes (the length alone) is well formed.
  const unsigned char empty[] = {0x00, 0x00, 0x00, 0x04};
  RawClient fourth(_connector->GetPort());
  ASSERT_TRUE(fourth.Write(empty, sizeof(empty)));
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1; }));
  EXPECT_EQ(_blocks[0], std::vector<char>(empty, empty + 4));
}

TEST_F(TcpMessage, ReadsExactlyOneBlockWhetherOrNotTheSenderCloses) {
  Listen();
  std::vector<char> kept = MakeBlock(64, 8);
  std::vector<char> withTail = kept;
  withTail.insert(withTail.end(), {'t', 'a', 'i', 'l'});
  RawClient staysOpen(_connector->GetPort());
  ASSERT_TRUE(staysOpen.Write(withTail.data(), withTail.size()));
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1; }));
  EXPECT_EQ(_blocks[0], kept);
  EXPECT_TRUE(TurnUntil([&] { return staysOpen.SeesClose(); }));

  std::vector<char> closing = MakeBlock(80, 9);
  RawClient closesAtOnce(_connector->GetPort());
  ASSERT_TRUE(closesAtOnce.Write(closing.data(), closing.size()));
  closesAtOnce.Close();
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 2; }));
  EXPECT_EQ(_blocks[1], closing);
}

TEST_F(TcpMessage, BlockCutByAnEarlyCloseIsDiscarded) {
  Listen();
  std::vector<char> block = MakeBlock(100, 10);
  RawClient client(_connector->GetPort());
  ASSERT_TRUE(client.Write(block.data(), 10));
  client.Close();
  ASSERT_TRUE(TurnUntil([&] { return _connector->GetDiscardedCount() == 1; }));
  EXPECT_TRUE(_blocks.empty());
  EXPECT_EQ(_connector->GetConnectionsInProgress(), 0);
}

TEST_F(TcpMessage, IdleTimeoutReclaimsASilentConnection) {
  _connector->SetTimeouts(200, 5000);
  RawClient silent(_connector->GetPort());
  ASSERT_TRUE(TurnUntil([&] { return _connector->GetConnectionsInProgress() == 1; }));
  Clock::time_point start = Clock::now();
  ASSERT_TRUE(TurnUntil([&] { return _connector->GetConnectionsInProgress() == 0; }));
  auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(150));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
  EXPECT_EQ(_connector->GetDiscardedCount(), 1);
  EXPECT_TRUE(TurnUntil([&] { return silent.SeesClose(); }));
}

TEST_F(TcpMessage, LifetimeBoundsAClientThatNeverFinishes) {
  _connector->SetTimeouts(200, 400);
  RawClient trickler(_connector->GetPort());
  std::vector<char> block = MakeBlock(1000, 11);
  size_t written = 0;
  std::function<void()> dripOne = [&] {
    if (written < block.size() && trickler.Write(&block[written], 1)) {
      ++written;
      _application.AddTimer(50, dripOne);
    }
  };
  _application.AddTimer(0, dripOne);
  ASSERT_TRUE(TurnUntil([&] { return _connector->GetDiscardedCount() == 1; }));
  EXPECT_LT(written, 30u);  // about 400 ms of one byte every 50 ms, not the whole block
  EXPECT_EQ(_connector->GetConnectionsInProgress(), 0);
}

TEST_F(TcpMessage, TooManyConnectionsInProgressDropTheOldest) {
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < VELSocketConnector::kMaxInProgress; ++i) {
    clients.push_back(std::make_unique<RawClient>(_connector->GetPort()));
  }
  ASSERT_TRUE(TurnUntil(
      [&] { return _connector->GetConnectionsInProgress() == VELSocketConnector::kMaxInProgress; }));
  EXPECT_EQ(_connector->GetDiscardedCount(), 0);
  clients.push_back(std::make_unique<RawClient>(_connector->GetPort()));
  ASSERT_TRUE(TurnUntil([&] { return _connector->GetDiscardedCount() == 1; }));
  EXPECT_EQ(_connector->GetConnectionsInProgress(), VELSocketConnector::kMaxInProgress);
  EXPECT_TRUE(TurnUntil([&] { return clients.front()->SeesClose(); }));
  EXPECT_FALSE(clients.back()->SeesClose());
}

TEST_F(TcpMessage, BlocksBeyondTheReadyBoundWaitUntilAcceptMakesRoom) {
  constexpr int kSent = VELSocketConnector::kMaxReady + 6;
  std::vector<int> results(kSent);
  for (int i = 0; i < kSent; ++i) {
    SendFromLoop(MakeBlock(50, static_cast<unsigned char>(i)), &results[i]);
  }
  ASSERT_TRUE(TurnUntil([&] { return _connector->GetBlocksReady() == VELSocketConnector::kMaxReady; }));
  // Nobody accepts: the rest stay in the kernel's backlog instead of piling up here.
  EXPECT_FALSE(TurnUntil([&] { return _connector->GetBlocksReady() > VELSocketConnector::kMaxReady; }, 200));
  Listen();
  ASSERT_TRUE(TurnUntil([&] { return static_cast<int>(_blocks.size()) == kSent; }));
  for (int result : results) {
    EXPECT_EQ(result, 0);
  }
  EXPECT_EQ(_connector->GetDiscardedCount(), 0);
}

TEST_F(TcpMessage, TimeWaitLandsOnTheReceivingSide) {
  Listen();
  int result = 0;
  SendFromLoop(MakeBlock(100, 12), &result);
  ASSERT_TRUE(TurnUntil([&] { return _blocks.size() == 1 && VELOutgoingConnections::Count() == 0; }));
  // /proc/net/tcp: "sl local_address rem_address st ..." with addresses as hex IP:port; 06 is TIME_WAIT.
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  char portText[8];
  std::snprintf(portText, sizeof(portText), ":%04X", _connector->GetPort());
  int receiverSide = 0;
  int senderSide = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state != "06") {
      continue;
    }
    receiverSide += local.size() > 5 && local.substr(local.size() - 5) == portText;
    senderSide += remote.size() > 5 && remote.substr(remote.size() - 5) == portText;
  }
  EXPECT_EQ(senderSide, 0);
  EXPECT_GE(receiverSide, 1);
}

TEST(TcpSockets, ConnectionToAClosedPortFailsAtOnceAndLeavesNothingOpen) {
  VELP2P_REQUIRE_SANDBOX();
  // A port that was just free: bound without listening, then released.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = kLoopback;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
  socklen_t length = sizeof(local);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length), 0);
  close(probe);

  int before = CountOpenDescriptors();
  Clock::time_point start = Clock::now();
  {
    VELSockets socket(-1, nullptr);
    EXPECT_EQ(socket.ConnectTo(kLoopback, ntohs(local.sin_port)), ECONNREFUSED);
    EXPECT_EQ(socket.GetHandler(), -1);
    EXPECT_EQ(CountOpenDescriptors(), before);
  }
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(CountOpenDescriptors(), before);
}

TEST(TcpSockets, SendRefusesBlocksThatWouldMisframe) {
  VELP2P_REQUIRE_SANDBOX();
  VELSockets socket;
  std::vector<char> block = MakeBlock(100, 13);
  EXPECT_EQ(socket.Send(block.data(), 100), ENOTCONN);
  EXPECT_EQ(socket.Send(block.data(), 99), EINVAL);  // prefix says 100
  EXPECT_EQ(socket.Send(block.data(), 3), EINVAL);   // shorter than the prefix
  EXPECT_EQ(socket.Send(nullptr, 100), EINVAL);
}

TEST(TcpSockets, WithoutAnApplicationSendBlocksAndAcceptReadsSynchronously) {
  VELP2P_REQUIRE_SANDBOX();
  ASSERT_EQ(VELApplication::MainApplication(), nullptr);
  VELSocketConnector connector(0, 5, 2);
  ASSERT_EQ(connector.Declare("127.0.0.1"), 0);
  VELSockets* accepted = nullptr;
  EXPECT_EQ(connector.Accept(&accepted), EAGAIN);

  std::vector<char> block = MakeBlock(300, 14);
  {
    VELSockets sender;
    ASSERT_EQ(sender.ConnectTo(kLoopback, connector.GetPort()), 0);
    ASSERT_EQ(sender.Send(block.data(), static_cast<int>(block.size())), 0);
  }
  ASSERT_EQ(connector.Accept(&accepted), 0);
  std::unique_ptr<VELSockets> owned(accepted);
  std::vector<char> buffer(300);
  int length = 0;
  ASSERT_EQ(owned->Receive(buffer.data(), 300, &length), 0);
  EXPECT_EQ(buffer, block);
}
