// Peer processes exchanging real messages through the multicast and TCP endpoints.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/NetSandbox.h"

namespace {

const int kStartMs = 5000;
const int kMessageMs = 3000;

// The value of key=value in a line of the test peer, up to the next space.
std::string Field(const std::string& line, const std::string& key) {
  const std::string marker = " " + key + "=";
  size_t at = (" " + line).find(marker);
  if (at == std::string::npos)
    return "";
  size_t start = at + marker.size() - 1;
  size_t end = line.find(' ', start);
  return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// A file descriptor of the test itself, closed whatever way the test ends.
struct OwnDescriptor {
  int value;
  ~OwnDescriptor() {
    if (value >= 0)
      close(value);
  }
};

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// One test peer process and the TCP endpoint its READY line told.
struct TestPeer {
  VELTestChild child;
  std::string name;
  std::string tcp;  // a.b.c.d:port

  bool Start(const std::string& config) {
    std::string ready;
    if (!child.Start(VELTestProgramPath("velp2p-testpeer"), {},
                     {{"VELP2PConfig", config}, {"VELP2PTrace", "0"}}) ||
        !child.WaitForPrefix("READY ", kStartMs, &ready)) {
      return false;
    }
    name = Field(ready, "name");
    tcp = Field(ready, "tcp");
    return !tcp.empty();
  }

  // A "send" command to the TCP endpoint a.b.c.d:port.
  bool SendTo(const std::string& endpoint, const std::string& rest) {
    std::string command = endpoint;
    command[command.find(':')] = ' ';
    return child.WriteLine("send " + command + " " + rest);
  }

  // The next MSG line from sender, skipping the peer's own multicast, which loops back to it.
  bool NextMessageFrom(const std::string& sender, std::string* line) {
    return child.WaitForLine(
        [&sender](const std::string& text) {
          return text.rfind("MSG ", 0) == 0 && Field(text, "sender") == sender;
        },
        kMessageMs, line);
  }

  // Quits; true when the process ended in time with status 0.
  bool Quit() {
    child.WriteLine("quit");
    child.CloseInput();
    int status = child.WaitExit(kStartMs);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

class TransportProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    // Each test has its own multicast port, so that tests running at the same time do not hear each other.
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const int port = VELTestPort(40 + static_cast<int>(std::hash<std::string>()(test) % 40));
    char path[] = "/tmp/velp2p-transport-XXXXXX";
    OwnDescriptor file{mkstemp(path)};
    ASSERT_GE(file.value, 0);
    _config = path;
    const std::string contents =
        "VELP2PMultiCastEndPoint|224.0.1.85|" + std::to_string(port) + "\nVELP2PTCPEndPoint|127.0.0.1|0\n";
    ASSERT_EQ(write(file.value, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
  }
  void TearDown() override {
    if (!_config.empty())
      unlink(_config.c_str());
  }

  std::string _config;  // the endpoint configuration file of the test peers
};

TEST_F(TransportProcess, BlocksReachTheOtherPeerWithReplyAddressPastASilentClient) {
  TestPeer a, b;
  ASSERT_TRUE(a.Start(_config)) << a.child.Transcript();
  ASSERT_TRUE(b.Start(_config)) << b.child.Transcript();
  ASSERT_NE(a.name, b.name);

  ASSERT_TRUE(a.child.WriteLine("group / TestService hello"));
  std::string line;
  ASSERT_TRUE(b.NextMessageFrom(a.name, &line)) << b.child.Transcript();
  EXPECT_EQ(Field(line, "group"), "/");
  EXPECT_EQ(Field(line, "payload"), "hello");
  EXPECT_EQ(Field(line, "transport"), "mcast");
  // A multicast header advertises the sender's TCP endpoint, which is how the receiver answers it.
  EXPECT_EQ(Field(line, "reply"), a.tcp);

  // A client that connects to B and never sends anything.
  OwnDescriptor silent{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  sockaddr_in target = Loopback(std::atoi(b.tcp.substr(b.tcp.find(':') + 1).c_str()));
  ASSERT_EQ(connect(silent.value, reinterpret_cast<sockaddr*>(&target), sizeof(target)), 0);
  // 2000 payload bytes: longer than the first read of 720, so the receiver reads it again at full length.
  const std::string payload = std::string(1000, 'x') + std::string(1000, 'y');
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(a.SendTo(b.tcp, "/P2PRoot/Team TestService " + payload));
  ASSERT_TRUE(b.NextMessageFrom(a.name, &line)) << b.child.Transcript();
  // Well below the connector's idle timeout (2 s), which a reader stuck on the silent client would wait out.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
  EXPECT_EQ(Field(line, "group"), "/P2PRoot/Team");
  EXPECT_EQ(Field(line, "payload"), payload);
  EXPECT_EQ(Field(line, "transport"), "tcp");
  EXPECT_EQ(Field(line, "reply"), a.tcp);
  std::string sent;
  ASSERT_TRUE(a.child.WaitForPrefix("SENT send ", kMessageMs, &sent)) << a.child.Transcript();
  EXPECT_NE(sent.find("0x00000000"), std::string::npos) << sent;

  // The reply address reaches the sender.
  ASSERT_TRUE(b.SendTo(Field(line, "reply"), "/ TestService answer"));
  ASSERT_TRUE(a.NextMessageFrom(b.name, &line)) << a.child.Transcript();
  EXPECT_EQ(Field(line, "payload"), "answer");
  EXPECT_TRUE(a.Quit());
  EXPECT_TRUE(b.Quit());
}

// The send returns at once; the refusal comes later, once, as a notification.
TEST_F(TransportProcess, SendToClosedPortReturnsAtOnceThenNotifiesOnceAndLeavesNoDescriptor) {
  TestPeer a;
  ASSERT_TRUE(a.Start(_config)) << a.child.Transcript();

  // A port that nothing listens on: bound for a moment, then released.
  sockaddr_in local = Loopback(0);
  {
    OwnDescriptor probe{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    socklen_t length = sizeof(local);
    ASSERT_EQ(bind(probe.value, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
    ASSERT_EQ(getsockname(probe.value, reinterpret_cast<sockaddr*>(&local), &length), 0);
  }
  const std::string closed = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));

  std::string before, after, failed, sent;
  ASSERT_TRUE(a.child.WriteLine("fds"));
  ASSERT_TRUE(a.child.WaitForPrefix("FDS ", kMessageMs, &before));
  ASSERT_TRUE(a.SendTo(closed, "/ TestService 01"));
  ASSERT_TRUE(a.child.WaitForPrefix("SENT send ", kMessageMs, &sent));
  EXPECT_NE(sent.find("0x00000000"), std::string::npos) << sent;
  EXPECT_LT(std::atoi(sent.substr(sent.rfind(' ') + 1).c_str()), 50) << sent;
  ASSERT_TRUE(a.child.WaitForPrefix("FAILED ", kMessageMs, &failed)) << a.child.Transcript();
  EXPECT_EQ(failed, "FAILED peer=remote address=" + closed + " service=TestService reason=refused");
  ASSERT_TRUE(a.child.WriteLine("fds"));
  ASSERT_TRUE(a.child.WaitForPrefix("FDS ", kMessageMs, &after));
  EXPECT_EQ(before, after);
  EXPECT_TRUE(a.Quit());
  EXPECT_EQ(a.child.Transcript().find("FAILED ", a.child.Transcript().find("FAILED ") + 1), std::string::npos)
      << a.child.Transcript();
}

// The endpoint that runs the handler is released by the tear-down while it is still inside its receive.
TEST_F(TransportProcess, DisconnectFromInsideHandlerEndsCleanlyOnBothTransports) {
  TestPeer a, byTcp, byMulticast;
  ASSERT_TRUE(a.Start(_config)) << a.child.Transcript();
  for (TestPeer* receiver : {&byTcp, &byMulticast}) {
    ASSERT_TRUE(receiver->Start(_config)) << receiver->child.Transcript();
    ASSERT_TRUE(receiver->child.WriteLine("disconnect-on-message"));
    ASSERT_TRUE(receiver->child.WaitForPrefix("ARMED", kMessageMs));
    ASSERT_TRUE(receiver == &byTcp ? a.SendTo(byTcp.tcp, "/ TestService 07")
                                   : a.child.WriteLine("group / TestService 08"));
    std::string line;
    ASSERT_TRUE(receiver->NextMessageFrom(a.name, &line)) << receiver->child.Transcript();
    EXPECT_EQ(Field(line, "transport"), receiver == &byTcp ? "tcp" : "mcast");
    ASSERT_TRUE(receiver->child.WaitForPrefix("DISCONNECTED ", kMessageMs, &line));
    EXPECT_EQ(line, "DISCONNECTED 0x00000000");
  }
  // Traffic after the tear-down reaches nobody and harms nothing.
  ASSERT_TRUE(a.child.WriteLine("group / TestService 09"));
  ASSERT_TRUE(a.child.WaitForPrefix("SENT group ", kMessageMs));
  EXPECT_TRUE(byTcp.Quit()) << byTcp.child.Transcript();
  EXPECT_TRUE(byMulticast.Quit()) << byMulticast.child.Transcript();
  EXPECT_TRUE(a.Quit());
}

}  // namespace
