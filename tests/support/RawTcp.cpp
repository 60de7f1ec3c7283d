#include "support/RawTcp.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "velp2p/VELApplication.h"

uint32_t LoopbackHost(int n) {
  return htonl(INADDR_LOOPBACK + static_cast<uint32_t>(n) - 1);
}

std::vector<char> MakeBlock(uint32_t size, unsigned char seed) {
  std::vector<char> block(size);
  uint32_t prefix = htonl(size);
  std::memcpy(block.data(), &prefix, 4);
  for (uint32_t i = 4; i < size; ++i) {
    block[i] = static_cast<char>(i * 31 + seed);
  }
  return block;
}

RawClient::RawClient(unsigned short port, uint32_t from)
    : _descriptor(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = from;
  EXPECT_EQ(bind(_descriptor, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
  sockaddr_in remote = {};
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = kLoopback;
  remote.sin_port = htons(port);
  EXPECT_EQ(connect(_descriptor, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)), 0);
}

bool RawClient::Write(const void* bytes, size_t length) {
  return send(_descriptor, bytes, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

size_t RawClient::WriteSome(const void* bytes, size_t length) {
  ssize_t count = send(_descriptor, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  return count > 0 ? static_cast<size_t>(count) : 0;
}

bool RawClient::SeesClose() {
  char bytes[4096];
  for (;;) {
    ssize_t count = recv(_descriptor, bytes, sizeof(bytes), MSG_DONTWAIT);
    if (count > 0) {
      _pending.insert(_pending.end(), bytes, bytes + count);
      continue;
    }
    return count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
  }
}

void RawClient::ReadSome(std::vector<char>& into) {
  SeesClose();
  into.insert(into.end(), _pending.begin(), _pending.end());
  _pending.clear();
}

void RawClient::Close() {
  if (_descriptor >= 0)
    close(_descriptor);
  _descriptor = -1;
}

int BoundSocket(unsigned short& port) {
  int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = kLoopback;
  socklen_t length = sizeof(local);
  EXPECT_EQ(bind(descriptor, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
  EXPECT_EQ(getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length), 0);
  port = ntohs(local.sin_port);
  return descriptor;
}

std::vector<uint32_t> Acknowledgements(const std::vector<char>& bytes) {
  std::vector<uint32_t> acks;
  for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
    uint32_t value;
    std::memcpy(&value, &bytes[at], 4);
    acks.push_back(ntohl(value));
  }
  return acks;
}

void LoopWriter::Pump(RawClient& client, const std::vector<char>& bytes, size_t upTo,
                      std::function<void()> then) {
  _pumps.push_back(std::make_unique<std::function<void()>>());
  std::function<void()>* pump = _pumps.back().get();
  auto written = std::make_shared<size_t>(0);
  *pump = [this, &client, &bytes, upTo, then, pump, written] {
    *written += client.WriteSome(&bytes[*written], upTo - *written);
    if (*written < upTo)
      _loop.AddTimer(1, *pump);
    else if (then)
      then();
  };
  _loop.AddTimer(0, *pump);
}
