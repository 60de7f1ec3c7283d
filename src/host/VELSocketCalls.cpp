#include "host/VELSocketCalls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "host/VELSystemCalls.h"

namespace {

sockaddr_in Address(uint32_t addressNetworkOrder, unsigned short port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = addressNetworkOrder;
  address.sin_port = htons(port);
  return address;
}

int Fail(int descriptor) {
  int error = errno != 0 ? errno : EIO;
  VELSys(close(descriptor));
  return error;
}

int Wait(int descriptor, short events, int timeoutMs) {
  for (;;) {
    pollfd entry{descriptor, events, 0};
    int ready = VELSys(poll(&entry, 1, timeoutMs));
    if (ready > 0)
      return 0;
    if (ready == 0)
      return ETIMEDOUT;
    if (errno != EINTR)
      return errno;
  }
}

}  // namespace

int VELTCPConnect(uint32_t addressNetworkOrder, unsigned short port, bool noDelay, int* descriptor) {
  *descriptor = -1;
  int made = VELSys(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (made < 0)
    return errno;
  if (noDelay) {
    int on = 1;
    VELSys(setsockopt(made, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)));
  }
  sockaddr_in remote = Address(addressNetworkOrder, port);
  if (VELSys(connect(made, reinterpret_cast<sockaddr*>(&remote), sizeof(remote))) != 0 &&
      errno != EINPROGRESS)
    return Fail(made);
  *descriptor = made;
  return 0;
}

int VELTCPConnectResult(int descriptor) {
  int pending = 0;
  socklen_t length = sizeof(pending);
  if (VELSys(getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &pending, &length)) != 0)
    return errno;
  return pending;
}

int VELTCPListen(const char* address, unsigned short port, int backlog, int receiveBuffer, int* descriptor,
                 unsigned short* boundPort) {
  *descriptor = -1;
  sockaddr_in local = Address(htonl(INADDR_ANY), port);
  if (address != nullptr && inet_pton(AF_INET, address, &local.sin_addr) != 1)
    return EINVAL;
  int made = VELSys(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (made < 0)
    return errno;
  int on = 1;
  if (receiveBuffer > 0)
    VELSys(setsockopt(made, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer)));
  socklen_t length = sizeof(local);
  if (VELSys(setsockopt(made, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on))) != 0 ||
      VELSys(bind(made, reinterpret_cast<sockaddr*>(&local), sizeof(local))) != 0 ||
      VELSys(listen(made, backlog)) != 0 ||
      VELSys(getsockname(made, reinterpret_cast<sockaddr*>(&local), &length)) != 0) {
    return Fail(made);
  }
  *descriptor = made;
  *boundPort = ntohs(local.sin_port);
  return 0;
}

int VELTCPAccept(int listener, int* descriptor, uint32_t* source) {
  sockaddr_in from;
  socklen_t length = sizeof(from);
  std::memset(&from, 0, sizeof(from));
  *descriptor =
      VELSys(accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (*descriptor < 0)
    return errno;
  *source = from.sin_addr.s_addr;
  return 0;
}

bool VELTCPConnectionWaiting(int listener) {
  pollfd pending{listener, POLLIN, 0};
  return VELSys(poll(&pending, 1, 0)) > 0;
}

ssize_t VELTCPSend(int descriptor, const void* bytes, size_t length) {
  for (;;) {
    ssize_t sent = VELSys(send(descriptor, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT));
    if (sent >= 0)
      return sent;
    if (errno != EINTR)
      return errno == EWOULDBLOCK ? -EAGAIN : -errno;
  }
}

ssize_t VELTCPSendPieces(int descriptor, const iovec* pieces, int count) {
  msghdr message;
  std::memset(&message, 0, sizeof(message));
  message.msg_iov = const_cast<iovec*>(pieces);
  message.msg_iovlen = static_cast<size_t>(count);
  for (;;) {
    ssize_t sent = VELSys(sendmsg(descriptor, &message, MSG_NOSIGNAL | MSG_DONTWAIT));
    if (sent >= 0)
      return sent;
    if (errno != EINTR)
      return errno == EWOULDBLOCK ? -EAGAIN : -errno;
  }
}

ssize_t VELTCPReceive(int descriptor, void* bytes, size_t length) {
  for (;;) {
    ssize_t received = VELSys(recv(descriptor, bytes, length, MSG_DONTWAIT));
    if (received >= 0)
      return received;
    if (errno != EINTR)
      return errno == EWOULDBLOCK ? -EAGAIN : -errno;
  }
}

int VELWaitReadable(int descriptor, int timeoutMs) {
  return Wait(descriptor, POLLIN, timeoutMs);
}

int VELWaitWritable(int descriptor, int timeoutMs) {
  return Wait(descriptor, POLLOUT, timeoutMs);
}

void VELTCPClose(int descriptor, bool abort) {
  if (descriptor < 0)
    return;
  if (abort) {
    linger now{1, 0};
    VELSys(setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &now, sizeof(now)));
  }
  VELSys(close(descriptor));
}

int VELOpenSignalPipe(VELSignalPipe* signal) {
  int ends[2] = {-1, -1};
  if (VELSys(pipe2(ends, O_NONBLOCK | O_CLOEXEC)) != 0)
    return errno;
  signal->read = ends[0];
  signal->write = ends[1];
  return 0;
}

void VELRaiseSignal(const VELSignalPipe& signal) {
  ssize_t ignored = VELSys(write(signal.write, "r", 1));
  (void)ignored;
}

void VELLowerSignal(const VELSignalPipe& signal) {
  char drain[16];
  while (VELSys(read(signal.read, drain, sizeof(drain))) > 0) {
  }
}

void VELCloseSignalPipe(VELSignalPipe* signal) {
  for (int* end : {&signal->read, &signal->write}) {
    if (*end >= 0)
      VELSys(close(*end));
    *end = -1;
  }
}
