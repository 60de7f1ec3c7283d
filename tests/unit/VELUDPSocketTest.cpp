// The multicast socket: group delivery to every socket on the port, loopback to the sender, truncation.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "host/VELUDPSocket.h"
#include "support/NetSandbox.h"
#include "velp2p/VELApplication.h"

namespace {

const char* const kGroup = "224.0.1.85";

// Collects every datagram a socket receives while the loop turns.
struct Listener {
  VELUDPSocket socket;
  std::vector<std::string> datagrams;

  int Start(VELApplication& application, unsigned short port) {
    if (int result = socket.Initialize(nullptr, port, kGroup))
      return result;
    return application.AddWatch(socket.GetHandler(), true, false, [this](int, bool, bool, bool) {
      char buffer[1024];
      int received = 0;
      while (socket.Receive(buffer, sizeof(buffer), &received) == 0) {
        datagrams.emplace_back(buffer, received);
      }
    });
  }
};

}  // namespace

TEST(UdpSocket, EverySocketOnThePortHearsTheGroupAndTheSenderItself) {
  VELP2P_REQUIRE_SANDBOX();
  VELApplication application;
  Listener first;
  Listener second;
  ASSERT_EQ(first.Start(application, VELTestPort(1)), 0);
  ASSERT_EQ(second.Start(application, VELTestPort(1)), 0);
  std::string announcement(100, 'a');
  ASSERT_EQ(second.socket.Send(announcement.data(), static_cast<int>(announcement.size())), 0);
  ASSERT_TRUE(
      application.RunUntil([&] { return !first.datagrams.empty() && !second.datagrams.empty(); }, 2000));
  EXPECT_EQ(first.datagrams, std::vector<std::string>{announcement});
  EXPECT_EQ(second.datagrams, std::vector<std::string>{announcement});
}

TEST(UdpSocket, ABurstWaitingBetweenTwoTurnsIsNotDropped) {
  VELP2P_REQUIRE_SANDBOX();
  VELUDPSocket socket;
  ASSERT_EQ(socket.Initialize(nullptr, VELTestPort(2), kGroup), 0);
  // 200 announcements of 1000 bytes overflow the usual default buffer of about 200 KiB.
  constexpr int kBurst = 200;
  std::string announcement(1000, 'b');
  for (int i = 0; i < kBurst; ++i) {
    ASSERT_EQ(socket.Send(announcement.data(), static_cast<int>(announcement.size())), 0);
  }
  char buffer[1024];
  int received = 0;
  int count = 0;
  while (socket.Receive(buffer, sizeof(buffer), &received) == 0) {
    EXPECT_EQ(received, 1000);
    ++count;
  }
  EXPECT_EQ(count, kBurst);
}

TEST(UdpSocket, LongDatagramIsReportedCutAndConsumed) {
  VELP2P_REQUIRE_SANDBOX();
  VELUDPSocket socket;
  ASSERT_EQ(socket.Initialize(nullptr, VELTestPort(3), kGroup), 0);
  std::string longer(2000, 'c');
  ASSERT_EQ(socket.Send(longer.data(), static_cast<int>(longer.size())), 0);
  ASSERT_EQ(socket.Send("next", 4), 0);
  std::vector<char> buffer(1024 + 16, 'z');
  int received = -1;
  EXPECT_EQ(socket.Receive(buffer.data(), 1024, &received), EMSGSIZE);
  EXPECT_EQ(received, 1024);
  EXPECT_EQ(buffer[1024], 'z');  // nothing written past the capacity
  ASSERT_EQ(socket.Receive(buffer.data(), 1024, &received), 0);
  EXPECT_EQ(std::string(buffer.data(), received), "next");
  EXPECT_EQ(socket.Receive(buffer.data(), 1024, &received), EAGAIN);
  EXPECT_EQ(received, 0);
}
