#include "VELBenchBaselines.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
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

namespace {

// A listening socket on the address, port chosen by the system; -1 on failure.
int Listen(const std::string& address, int& port) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, address.c_str(), &local.sin_addr);
  socklen_t length = sizeof local;
  if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    close(listener);
    return -1;
  }
  port = ntohs(local.sin_port);
  return listener;
}

int Connect(const VELBenchNet& net, int port, bool noDelay) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (noDelay) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = net.AddressNetworkOrder(0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n <= 0)
      return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, char* bytes, size_t size) {
  while (size > 0) {
    ssize_t n = read(fd, bytes, size);
    if (n <= 0)
      return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Runs receiver on side 0 (it reports "ready" and its "port" first, then its figures), then sender on side 1
// with that port; returns the receiver's figures with the sender's.
VELBenchResult RunPair(const VELBenchNet& net,
                       const std::function<int(VELBenchControl&, int listener)>& receiver,
                       const std::function<VELBenchResult(int port)>& sender) {
  VELBenchChild listening([&](VELBenchControl& control) {
    int port = 0;
    int listener = net.Enter(0) ? Listen(net.Address(0), port) : -1;
    if (listener < 0)
      return 1;
    control.Report({{"ready", 1}, {"port", port}});
    return receiver(control, listener);
  });
  VELBenchResult ready = listening.Result(20000);
  if (!ready.count("port"))
    return {};
  const int port = static_cast<int>(ready["port"]);
  VELBenchChild sending([&](VELBenchControl& control) {
    if (!net.Enter(1))
      return 1;
    control.Report(sender(port));
    return 0;
  });
  VELBenchResult sent = sending.Result(90000);
  VELBenchResult out = listening.Result(90000);
  for (const auto& [name, value] : sent)
    out["sent_" + name] = value;
  return out;
}

}  // namespace

VELBenchResult BaselineConnectionPerMessage(int count, int bytes, const VELBenchNet& net) {
  // The receiver takes one connection at a time and reads it to the end, like a loop that serves one block.
  return RunPair(
      net,
      [&](VELBenchControl& control, int listener) {
        std::vector<char> buffer(static_cast<size_t>(bytes) + 1);
        double received = 0, first = 0, last = 0;
        while (received < count && Readable(listener, received > 0 ? 3000 : 20000)) {
          int connection = accept(listener, nullptr, nullptr);
          if (connection < 0)
            continue;
          ssize_t total = 0, n = 0;
          while (total < static_cast<ssize_t>(buffer.size()) &&
                 (n = read(connection, buffer.data() + total, buffer.size() - static_cast<size_t>(total))) >
                     0)
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
      },
      [&](int port) {
        std::vector<char> message(static_cast<size_t>(bytes), 'm');
        double failed = 0, start = VELBenchNowUs();
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = net.AddressNetworkOrder(0);
        for (int i = 0; i < count && VELBenchNowUs() - start < 60e6; ++i) {
          double now = VELBenchNowUs();
          std::memcpy(message.data(), &now, sizeof now);
          int fd = socket(AF_INET, SOCK_STREAM, 0);
          if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
              write(fd, message.data(), message.size()) != static_cast<ssize_t>(message.size()))
            ++failed;
          close(fd);
        }
        return VELBenchResult{{"failed", failed}};
      });
}

VELBenchResult BaselinePersistent(int count, int bytes, const VELBenchNet& net) {
  return RunPair(
      net,
      [&](VELBenchControl& control, int listener) {
        if (!Readable(listener, 20000))
          return 1;
        int connection = accept(listener, nullptr, nullptr);
        // Reads what has come, however much, and counts the blocks by their lengths; a block's bytes are only
        // read, never kept or moved.
        std::vector<char> buffer(256 << 10);
        unsigned char head[4];
        size_t headHave = 0, remaining = 0;
        double received = 0, first = 0, last = 0, total = 0;
        ssize_t n = 0;
        while (received < count && (n = read(connection, buffer.data(), buffer.size())) > 0) {
          for (size_t at = 0; at < static_cast<size_t>(n);) {
            if (remaining == 0) {
              head[headHave++] = static_cast<unsigned char>(buffer[at++]);
              if (headHave < 4)
                continue;
              headHave = 0;
              const uint32_t length = (static_cast<uint32_t>(head[0]) << 24) |
                                      (static_cast<uint32_t>(head[1]) << 16) |
                                      (static_cast<uint32_t>(head[2]) << 8) | head[3];
              remaining = length - 4;
              total += length;
              if (received == 0 && static_cast<size_t>(n) - at >= sizeof first)
                std::memcpy(&first, &buffer[at], sizeof first);
              if (remaining > 0)
                continue;
            }
            const size_t skip = std::min(remaining, static_cast<size_t>(n) - at);
            at += skip;
            remaining -= skip;
            if (remaining == 0)
              ++received;
          }
          last = VELBenchNowUs();
        }
        close(connection);
        const double span = std::max(1.0, last - first);
        control.Report({{"received", received}, {"rate", received * 1e6 / span}, {"mbps", total / span}});
        return 0;
      },
      [&](int port) {
        int fd = Connect(net, port, true);
        std::vector<char> block(static_cast<size_t>(bytes), 'm');
        const uint32_t length = htonl(static_cast<uint32_t>(bytes));
        std::memcpy(block.data(), &length, 4);
        double failed = fd < 0 ? count : 0;
        for (int i = 0; i < count && fd >= 0; ++i) {
          double now = VELBenchNowUs();
          std::memcpy(block.data() + 4, &now, sizeof now);
          if (!WriteAll(fd, block.data(), block.size())) {
            failed = count - i;
            break;
          }
        }
        if (fd >= 0)
          close(fd);
        return VELBenchResult{{"failed", failed}};
      });
}

VELBenchResult BaselineRoundTrip(int rounds, const VELBenchNet& net) {
  return RunPair(
      net,
      [&](VELBenchControl&, int listener) {
        if (!Readable(listener, 20000))
          return 1;
        int connection = accept(listener, nullptr, nullptr);
        int on = 1;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        char message[100];
        while (ReadAll(connection, message, sizeof message) &&
               WriteAll(connection, message, sizeof message)) {
        }
        close(connection);
        return 0;
      },
      [&](int port) {
        int fd = Connect(net, port, true);
        std::vector<double> trips;
        char message[100] = {};
        for (int i = 0; i < rounds && fd >= 0; ++i) {
          double start = VELBenchNowUs();
          if (!WriteAll(fd, message, sizeof message) || !ReadAll(fd, message, sizeof message))
            break;
          trips.push_back(VELBenchNowUs() - start);
        }
        if (fd >= 0)
          close(fd);
        std::sort(trips.begin(), trips.end());
        auto at = [&](double p) {
          return trips.empty() ? -1
                               : trips[std::min(trips.size() - 1, static_cast<size_t>(p * trips.size()))];
        };
        return VELBenchResult{
            {"p50_us", at(0.5)}, {"p99_us", at(0.99)}, {"rounds", static_cast<double>(trips.size())}};
      });
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
