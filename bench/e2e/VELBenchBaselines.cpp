#include "VELBenchBaselines.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

int OpenMulticastSender(const char* group, int port, sockaddr_in& to) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
  to = sockaddr_in{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, group, &to.sin_addr);
  return fd;
}

VELBenchResult BaselineConnectionPerMessage(int count, int bytes) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(listener);
    return {};
  }
  // The receiver takes one connection at a time and reads it to the end, like a loop that serves one block.
  VELBenchChild receiver([&](VELBenchControl& control) {
    std::vector<char> buffer(static_cast<size_t>(bytes) + 1);
    double received = 0, first = 0, last = 0;
    while (received < count && Readable(listener, received > 0 ? 3000 : 20000)) {
      int connection = accept(listener, nullptr, nullptr);
      if (connection < 0)
        continue;
      ssize_t total = 0, n = 0;
      while (total < static_cast<ssize_t>(buffer.size()) &&
             (n = read(connection, buffer.data() + total, buffer.size() - static_cast<size_t>(total))) > 0)
        total += n;
      close(connection);
      if (total == bytes) {
        if (received == 0)
          std::memcpy(&first, buffer.data(), sizeof first);
        ++received;
        last = VELBenchNowUs();
      }
    }
    control.Report({{"received", received}, {"rate", received * 1e6 / std::max(1.0, last - first)}});
    return 0;
  });
  std::vector<char> message(static_cast<size_t>(bytes), 'm');
  double failed = 0, start = VELBenchNowUs();
  for (int i = 0; i < count && VELBenchNowUs() - start < 60e6; ++i) {
    double now = VELBenchNowUs();
    std::memcpy(message.data(), &now, sizeof now);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        write(fd, message.data(), message.size()) != static_cast<ssize_t>(message.size()))
      ++failed;
    close(fd);
  }
  VELBenchResult out = receiver.Result(70000);
  out["failed"] = failed;
  receiver.Stop();
  close(listener);
  return out;
}

VELBenchResult BaselineMulticast(int count, int bytes) {
  const int port = 27099;
  in_addr group{};
  inet_pton(AF_INET, "224.0.1.86", &group);
  VELBenchChild receiver([&](VELBenchControl& control) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1, size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr = group;
    ip_mreq membership{};
    membership.imr_multiaddr = group;
    membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
      return 1;
    control.Report({{"ready", 1}});
    std::vector<char> buffer(static_cast<size_t>(bytes) + 1);
    double received = 0, first = 0, last = 0;
    while (received < count && Readable(fd, received > 0 ? 1000 : 20000)) {
      if (recv(fd, buffer.data(), buffer.size(), 0) != bytes)
        continue;
      if (received == 0)
        std::memcpy(&first, buffer.data(), sizeof first);
      ++received;
      last = VELBenchNowUs();
    }
    control.Report({{"received", received}, {"rate", received * 1e6 / std::max(1.0, last - first)}});
    close(fd);
    return 0;
  });
  if (!receiver.Result(20000).count("ready"))
    return {};
  sockaddr_in to{};
  int fd = OpenMulticastSender("224.0.1.86", port, to);
  std::vector<char> datagram(static_cast<size_t>(bytes), 'd');
  for (int i = 0; i < count; ++i) {
    double now = VELBenchNowUs();
    std::memcpy(datagram.data(), &now, sizeof now);
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  close(fd);
  VELBenchResult out = receiver.Result(30000);
  out["lost"] = count - out["received"];
  receiver.Stop();
  return out;
}

VELBenchResult BaselineMemcpy() {
  const size_t size = 1 << 20;
  std::vector<char> from(size, 'a'), to(size);
  const int rounds = 2000;
  double start = VELBenchNowUs();
  for (int i = 0; i < rounds; ++i) {
    from[static_cast<size_t>(i) % size] = static_cast<char>(i);
    std::memcpy(to.data(), from.data(), size);
  }
  double elapsed = VELBenchNowUs() - start;
  volatile char sink = to[static_cast<size_t>(rounds) % size];
  (void)sink;
  return {{"mbps", static_cast<double>(size) * rounds / elapsed}};
}
