// Two peer processes exchanging real messages through the multicast and TCP endpoints.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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
  std::string marker = " " + key + "=";
  size_t at = (" " + line).find(marker);
  if (at == std::string::npos)
    return "";
  size_t start = at + marker.size() - 1;
  size_t end = line.find(' ', start);
  return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string Repeat(const std::string& hexByte, int count) {
  std::string text;
  for (int i = 0; i < count; ++i)
    text += hexByte;
  return text;
}

// A configuration file for the test peers, removed with the object.
class ConfigFile {
 public:
  explicit ConfigFile(const std::string& contents) {
    char path[] = "/tmp/velp2p-transport-XXXXXX";
    int descriptor = mkstemp(path);
    if (descriptor < 0)
      return;
    _path = path;
    ssize_t written = write(descriptor, contents.data(), contents.size());
    (void)written;
    close(descriptor);
  }
  ~ConfigFile() {
    if (!_path.empty())
      unlink(_path.c_str());
  }
  const std::string& Path() const { return _path; }

 private:
  std::string _path;
};

// One test peer process and what its READY line told.
struct TestPeer {
  VELTestChild child;
  std::string name;
  std::string tcpAddress;  // a.b.c.d
  std::string tcpPort;

  bool Start(const ConfigFile& config, bool rtc = false, const std::string& login = "") {
    std::vector<std::pair<std::string, std::string>> env = {{"VELP2PConfig", config.Path()},
                                                            {"VELP2PTrace", "0"}};
    if (!login.empty())
      env.push_back({"VELP2PLogin", login});
    std::vector<std::string> arguments;
    if (rtc)
      arguments.push_back("--rtc");
    if (!child.Start(VELTestProgramPath("velp2p-testpeer"), arguments, env))
      return false;
    std::string ready;
    if (!child.WaitForPrefix("READY ", kStartMs, &ready))
      return false;
    name = Field(ready, "name");
    std::string tcp = Field(ready, "tcp");
    size_t colon = tcp.find(':');
    if (colon == std::string::npos)
      return false;
    tcpAddress = tcp.substr(0, colon);
    tcpPort = tcp.substr(colon + 1);
    return true;
  }

  // The next MSG line from sender, skipping the peer's own multicast, which loops back to it.
  bool NextMessageFrom(const std::string& sender, std::string* line, int timeoutMs = kMessageMs) {
    return child.WaitForLine(
        [&sender](const std::string& text) {
          return text.rfind("MSG ", 0) == 0 && Field(text, "sender") == sender;
        },
        timeoutMs, line);
  }

  // Quits and returns the exit status; -1 when the process did not end in time.
  int Quit() {
    child.WriteLine("quit");
    child.CloseInput();
    return child.WaitExit(kStartMs);
  }
};

class TransportProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VELTestInPrivateNetwork())
      GTEST_SKIP() << "multi-process tests need a private network namespace";
    // Each test has its own multicast port, so that tests running at the same time do not hear each other.
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    _multicastPort = VELTestPort(40 + static_cast<int>(std::hash<std::string>()(test) % 40));
    _config =
        std::make_unique<ConfigFile>("VELP2PMultiCastEndPoint|224.0.1.85|" + std::to_string(_multicastPort) +
                                     "\nVELP2PTCPEndPoint|127.0.0.1|0\n");
    ASSERT_FALSE(_config->Path().empty());
  }

  const ConfigFile& Config() const { return *_config; }

  int _multicastPort = 0;
  std::unique_ptr<ConfigFile> _config;
};

// Closes a socket of the test itself, whatever way the test ends.
struct OwnSocket {
  int descriptor;
  explicit OwnSocket(int value) : descriptor(value) {}
  ~OwnSocket() {
    if (descriptor >= 0)
      close(descriptor);
  }
};

bool ExitedCleanly(int status) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(TransportProcess, MulticastBlockReachesOtherPeerWithItsUnicastReplyAddress) {
  TestPeer a, b;
  ASSERT_TRUE(a.Start(Config())) << a.child.Transcript();
  ASSERT_TRUE(b.Start(Config())) << b.child.Transcript();
  ASSERT_NE(a.name, b.name);

  ASSERT_TRUE(a.child.WriteLine("group / TestService 0102ff"));
  std::string line;
  ASSERT_TRUE(b.NextMessageFrom(a.name, &line)) << b.child.Transcript();
  EXPECT_EQ(Field(line, "group"), "/");
  EXPECT_EQ(Field(line, "payload"), "0102ff");
  EXPECT_EQ(Field(line, "transport"), "mcast");
  // A multicast header advertises the sender's TCP endpoint, which is how the receiver answers it.
  EXPECT_EQ(Field(line, "reply"), a.tcpAddress + ":" + a.tcpPort);

  EXPECT_TRUE(ExitedCleanly(a.Quit()));
  EXPECT_TRUE(ExitedCleanly(b.Quit()));
}

TEST_F(TransportProcess, TcpBlockReachesOtherPeerAndIsAnswered) {
  TestPeer a, b;
  ASSERT_TRUE(a.Start(Config())) << a.child.Transcript();
  ASSERT_TRUE(b.Start(Config())) << b.child.Transcript();

  // 2000 payload bytes: longer than the first read of 720, so the receiver reads it again at full length.
  const std::string payload = Repeat("a5", 1000) + Repeat("3c", 1000);
  ASSERT_TRUE(
      a.child.WriteLine("send " + b.tcpAddress + " " + b.tcpPort + " /P2PRoot/Team TestService " + payload));
  std::string sent;
  ASSERT_TRUE(a.child.WaitForPrefix("SENT send ", kMessageMs, &sent)) << a.child.Transcript();
  EXPECT_NE(sent.find("0x00000000"), std::string::npos) << sent;

  std::string line;
  ASSERT_TRUE(b.NextMessageFrom(a.name, &line)) << b.child.Transcript();
  EXPECT_EQ(Field(line, "group"), "/P2PRoot/Team");
  EXPECT_EQ(Field(line, "payload"), payload);
  EXPECT_EQ(Field(line, "transport"), "tcp");
  EXPECT_EQ(Field(line, "reply"), a.tcpAddress + ":" + a.tcpPort);

  ASSERT_TRUE(b.child.WriteLine("reply / TestService 99"));
  ASSERT_TRUE(a.NextMessageFrom(b.name, &line)) << a.child.Transcript();
  EXPECT_EQ(Field(line, "payload"), "99");
  EXPECT_EQ(Field(line, "transport"), "tcp");

  EXPECT_TRUE(ExitedCleanly(a.Quit()));
  EXPECT_TRUE(ExitedCleanly(b.Quit()));
}

TEST_F(TransportProcess, SilentClientDoesNotDelayRealMessage) {
  TestPeer a, b;
  ASSERT_TRUE(a.Start(Config())) << a.child.Transcript();
  ASSERT_TRUE(b.Start(Config())) << b.child.Transcript();

  // A client that connects to B and never sends anything.
  OwnSocket silent(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_GE(silent.descriptor, 0);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(std::atoi(b.tcpPort.c_str())));
  inet_pton(AF_INET, b.tcpAddress.c_str(), &target.sin_addr);
  ASSERT_EQ(connect(silent.descriptor, reinterpret_cast<sockaddr*>(&target), sizeof(target)), 0);

  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(a.child.WriteLine("send " + b.tcpAddress + " " + b.tcpPort + " / TestService 42"));
  std::string line;
  ASSERT_TRUE(b.NextMessageFrom(a.name, &line)) << b.child.Transcript();
  auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  // Well below the connector's idle timeout (2 s), which a reader stuck on the silent client would wait out.
  EXPECT_LT(waited.count(), 1000);
  EXPECT_EQ(Field(line, "payload"), "42");

  EXPECT_TRUE(ExitedCleanly(a.Quit()));
  EXPECT_TRUE(ExitedCleanly(b.Quit()));
}

TEST_F(TransportProcess, ConnectToClosedPortFailsFastAndLeavesNoDescriptor) {
  TestPeer a;
  ASSERT_TRUE(a.Start(Config())) << a.child.Transcript();

  // A port that nothing listens on: bound for a moment, then released.
  auto probe = std::make_unique<OwnSocket>(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_GE(probe->descriptor, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe->descriptor, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
  socklen_t length = sizeof(local);
  ASSERT_EQ(getsockname(probe->descriptor, reinterpret_cast<sockaddr*>(&local), &length), 0);
  const int closedPort = ntohs(local.sin_port);
  probe.reset();

  std::string before, after, error, sent;
  ASSERT_TRUE(a.child.WriteLine("fds"));
  ASSERT_TRUE(a.child.WaitForPrefix("FDS ", kMessageMs, &before));
  ASSERT_TRUE(a.child.WriteLine("send 127.0.0.1 " + std::to_string(closedPort) + " / TestService 01"));
  ASSERT_TRUE(a.child.WaitForPrefix("ERROR[", kMessageMs, &error)) << a.child.Transcript();
  EXPECT_EQ(error, "ERROR[0x6F] : Opening socket on 127.0.0.1:" + std::to_string(closedPort));
  ASSERT_TRUE(a.child.WaitForPrefix("SENT send ", kMessageMs, &sent));
  EXPECT_NE(sent.find("0x80004005"), std::string::npos) << sent;
  EXPECT_LT(std::atoi(sent.substr(sent.rfind(' ') + 1).c_str()), 1000) << sent;
  ASSERT_TRUE(a.child.WriteLine("fds"));
  ASSERT_TRUE(a.child.WaitForPrefix("FDS ", kMessageMs, &after));
  EXPECT_EQ(before, after);

  EXPECT_TRUE(ExitedCleanly(a.Quit()));
}

TEST_F(TransportProcess, DisconnectFromInsideHandlerEndsCleanlyOnBothTransports) {
  TestPeer a, byTcp, byMulticast;
  ASSERT_TRUE(a.Start(Config())) << a.child.Transcript();
  ASSERT_TRUE(byTcp.Start(Config())) << byTcp.child.Transcript();

  // The TCP endpoint is released by the tear-down while it is still inside its ReceiveData.
  ASSERT_TRUE(byTcp.child.WriteLine("disconnect-on-message"));
  ASSERT_TRUE(byTcp.child.WaitForPrefix("ARMED", kMessageMs));
  ASSERT_TRUE(a.child.WriteLine("send " + byTcp.tcpAddress + " " + byTcp.tcpPort + " / TestService 07"));
  std::string line;
  ASSERT_TRUE(byTcp.NextMessageFrom(a.name, &line)) << byTcp.child.Transcript();
  ASSERT_TRUE(byTcp.child.WaitForPrefix("DISCONNECTED ", kMessageMs, &line));
  EXPECT_EQ(line, "DISCONNECTED 0x00000000");
  EXPECT_TRUE(ExitedCleanly(byTcp.Quit())) << byTcp.child.Transcript();

  // The same through the multicast endpoint.
  ASSERT_TRUE(byMulticast.Start(Config())) << byMulticast.child.Transcript();
  ASSERT_TRUE(byMulticast.child.WriteLine("disconnect-on-message"));
  ASSERT_TRUE(byMulticast.child.WaitForPrefix("ARMED", kMessageMs));
  ASSERT_TRUE(a.child.WriteLine("group / TestService 08"));
  ASSERT_TRUE(byMulticast.NextMessageFrom(a.name, &line)) << byMulticast.child.Transcript();
  ASSERT_TRUE(byMulticast.child.WaitForPrefix("DISCONNECTED ", kMessageMs, &line));
  EXPECT_EQ(line, "DISCONNECTED 0x00000000");
  // Traffic after the tear-down reaches nobody and harms nothing.
  ASSERT_TRUE(a.child.WriteLine("group / TestService 09"));
  ASSERT_TRUE(a.child.WaitForPrefix("SENT group ", kMessageMs));
  EXPECT_TRUE(ExitedCleanly(byMulticast.Quit())) << byMulticast.child.Transcript();

  EXPECT_TRUE(ExitedCleanly(a.Quit()));
}

}  // namespace
