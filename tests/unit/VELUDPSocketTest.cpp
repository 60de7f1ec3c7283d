// The multicast socket: a burst between two reads, truncation. Delivery to every socket on the port and back
// to the sender is what the console processes rely on.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "host/VELUDPSocket.h"
#include "support/NetSandbox.h"

namespace {

const char* const kGroup = "224.0.1.85";

}  // namespace

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
