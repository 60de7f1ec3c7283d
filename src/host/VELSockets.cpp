#include "host/VELSockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "host/VELOutgoingConnections.h"
#include "host/VELSystemCalls.h"
#include "velp2p/VELApplication.h"

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return remaining > 0 ? static_cast<int>(remaining) : 0;
}

// Waits for the events or the deadline; 0 when they came, ETIMEDOUT or errno otherwise.
int WaitFor(int descriptor, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{descriptor, events, 0};
    int ready = VELSys(poll(&entry, 1, RemainingMs(deadline)));
    if (ready > 0) {
      return 0;
    }
    if (ready == 0) {
      return ETIMEDOUT;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
}

}  // namespace

VELSockets::VELSockets(int descriptor, void* /*unused*/) : _descriptor(descriptor) {}

VELSockets::~VELSockets() {
  if (_descriptor >= 0) {
    VELSys(close(_descriptor));
  }
}

int VELSockets::ConnectTo(uint32_t addressNetworkOrder, unsigned short port) {
  if (_descriptor >= 0) {
    return EISCONN;
  }
  int descriptor = VELSys(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (descriptor < 0) {
    return errno;
  }
  // Send writes the block at once; holding back its last segment for an acknowledgement only delays it.
  int on = 1;
  VELSys(setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)));
  sockaddr_in remote;
  std::memset(&remote, 0, sizeof(remote));
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = addressNetworkOrder;
  remote.sin_port = htons(port);
  int error = 0;
  if (VELSys(connect(descriptor, reinterpret_cast<sockaddr*>(&remote), sizeof(remote))) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      error = WaitFor(descriptor, POLLOUT, Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs));
      if (error == 0) {
        socklen_t length = sizeof(error);
        if (VELSys(getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length)) != 0) {
          error = errno;
        }
      }
    }
  }
  if (error != 0) {
    VELSys(close(descriptor));
    return error;
  }
  _descriptor = descriptor;
  return 0;
}

int VELSockets::Send(const char* bytes, int length) {
  if (bytes == nullptr || length < 4) {
    return EINVAL;
  }
  if (length > kMaxBlockBytes) {
    return EMSGSIZE;
  }
  // The receiver frames the block by its prefix alone; a disagreeing prefix would make it wait for bytes
  // that never come, or cut the block.
  uint32_t prefix;
  std::memcpy(&prefix, bytes, sizeof(prefix));
  if (ntohl(prefix) != static_cast<uint32_t>(length)) {
    return EINVAL;
  }
  if (_descriptor < 0) {
    return ENOTCONN;
  }
  VELApplication* application = VELApplication::MainApplication();
  if (application == nullptr) {
    return SendBlocking(bytes, length);
  }

  size_t offset = 0;
  while (offset < static_cast<size_t>(length)) {
    ssize_t sent = VELSys(send(_descriptor, bytes + offset, length - offset, MSG_NOSIGNAL | MSG_DONTWAIT));
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        break;
      }
      return errno;
    }
    offset += static_cast<size_t>(sent);
  }
  std::vector<char> rest(bytes + offset, bytes + length);
  int result = VELOutgoingConnections::Adopt(application, _descriptor, std::move(rest));
  if (result != 0) {
    // The loop would not take the connection; finish the block here, within the blocking bound.
    return offset == static_cast<size_t>(length) ? 0 : SendBlocking(bytes + offset, length - offset);
  }
  _descriptor = -1;
  return 0;
}

int VELSockets::SendBlocking(const char* bytes, int length) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kBlockingSendTimeoutMs);
  size_t offset = 0;
  while (offset < static_cast<size_t>(length)) {
    ssize_t sent = VELSys(send(_descriptor, bytes + offset, length - offset, MSG_NOSIGNAL | MSG_DONTWAIT));
    if (sent >= 0) {
      offset += static_cast<size_t>(sent);
      continue;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return errno;
    }
    int error = WaitFor(_descriptor, POLLOUT, deadline);
    if (error != 0) {
      return error;
    }
  }
  return 0;
}

int VELSockets::Receive(char* buffer, int capacity, int* length) {
  if (length == nullptr) {
    return EINVAL;
  }
  if (!_block) {
    *length = 0;
    return ENODATA;
  }
  *length = _blockLength;
  if (buffer == nullptr || capacity < _blockLength) {
    return kCapacityTooSmall;
  }
  std::memcpy(buffer, _block.get(), static_cast<size_t>(_blockLength));
  _block.reset();
  return 0;
}

int VELSockets::TakeReceivedBlock(VELBlockBytes* block, int* length) {
  if (block == nullptr || length == nullptr) {
    return EINVAL;
  }
  if (!_block) {
    return ENODATA;
  }
  *block = std::move(_block);
  *length = _blockLength;
  return 0;
}

void VELSockets::SetReceivedBlock(VELBlockBytes block, int length, uint32_t source) {
  _block = std::move(block);
  _blockLength = length;
  _source = source;
}
