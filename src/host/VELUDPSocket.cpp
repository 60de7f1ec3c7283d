#include "host/VELUDPSocket.h"

#include "host/VELSystemCalls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

VELUDPSocket::VELUDPSocket() : _descriptor(-1) {
  std::memset(&_destination, 0, sizeof(_destination));
}

VELUDPSocket::~VELUDPSocket() {
  if (_descriptor >= 0) {
    VELSys(close(_descriptor));
  }
}

int VELUDPSocket::Initialize(const char* interfaceAddress, unsigned short port, const char* groupAddress) {
  if (_descriptor >= 0) {
    return EISCONN;
  }
  if (groupAddress == nullptr) {
    return EINVAL;
  }
  in_addr group;
  in_addr interface;
  interface.s_addr = htonl(INADDR_ANY);
  if (inet_pton(AF_INET, groupAddress, &group) != 1 || !IN_MULTICAST(ntohl(group.s_addr))) {
    return EINVAL;
  }
  if (interfaceAddress != nullptr && inet_pton(AF_INET, interfaceAddress, &interface) != 1) {
    return EINVAL;
  }

  int descriptor = VELSys(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (descriptor < 0) {
    return errno;
  }
  auto fail = [descriptor]() {
    int error = errno;
    VELSys(close(descriptor));
    return error != 0 ? error : EIO;
  };
  int on = 1;
  if (VELSys(setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on))) != 0 ||
      VELSys(setsockopt(descriptor, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on))) != 0) {
    return fail();
  }
  // A smaller buffer than asked is not fatal: the kernel caps it at its own maximum.
  int receiveBuffer = kReceiveBufferBytes;
  VELSys(setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer)));

  // Bound to the group address rather than to any address, the socket hears only that group's datagrams,
  // not unicast traffic or other groups that happen to use the same port.
  sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr = group;
  if (VELSys(bind(descriptor, reinterpret_cast<sockaddr*>(&local), sizeof(local))) != 0) {
    return fail();
  }
  ip_mreq membership;
  membership.imr_multiaddr = group;
  membership.imr_interface = interface;
  if (VELSys(setsockopt(descriptor, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership))) != 0) {
    return fail();
  }
  if (interfaceAddress != nullptr &&
      VELSys(setsockopt(descriptor, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof(interface))) != 0) {
    return fail();
  }
  unsigned char loop = 1;
  unsigned char ttl = 1;
  if (VELSys(setsockopt(descriptor, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop))) != 0 ||
      VELSys(setsockopt(descriptor, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl))) != 0) {
    return fail();
  }

  _descriptor = descriptor;
  _destination.sin_family = AF_INET;
  _destination.sin_addr = group;
  _destination.sin_port = htons(GetPort());
  return 0;
}

int VELUDPSocket::Send(const char* bytes, int length) {
  if (_descriptor < 0) {
    return ENOTCONN;
  }
  if (bytes == nullptr || length < 0) {
    return EINVAL;
  }
  ssize_t sent;
  do {
    sent = VELSys(sendto(_descriptor, bytes, static_cast<size_t>(length), 0,
                         reinterpret_cast<const sockaddr*>(&_destination), sizeof(_destination)));
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    return errno;
  }
  return sent == length ? 0 : EMSGSIZE;
}

int VELUDPSocket::Receive(char* buffer, int capacity, int* received, uint32_t* fromAddress) {
  if (received != nullptr) {
    *received = 0;
  }
  if (fromAddress != nullptr) {
    *fromAddress = 0;
  }
  if (_descriptor < 0) {
    return ENOTCONN;
  }
  if (buffer == nullptr || capacity < 0 || received == nullptr) {
    return EINVAL;
  }
  ssize_t length;
  sockaddr_in from;
  do {
    std::memset(&from, 0, sizeof(from));
    socklen_t fromLength = sizeof(from);
    // MSG_TRUNC makes the answer the datagram's real length, so a cut datagram is recognised.
    length = VELSys(recvfrom(_descriptor, buffer, static_cast<size_t>(capacity), MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&from), &fromLength));
  } while (length < 0 && errno == EINTR);
  if (length >= 0 && fromAddress != nullptr && from.sin_family == AF_INET) {
    *fromAddress = from.sin_addr.s_addr;
  }
  if (length < 0) {
    return errno;
  }
  if (length > capacity) {
    *received = capacity;
    return EMSGSIZE;
  }
  *received = static_cast<int>(length);
  return 0;
}

int VELUDPSocket::GetReceiveBufferSize() const {
  int size = 0;
  socklen_t length = sizeof(size);
  if (_descriptor < 0 || VELSys(getsockopt(_descriptor, SOL_SOCKET, SO_RCVBUF, &size, &length)) != 0) {
    return 0;
  }
  return size;
}

unsigned short VELUDPSocket::GetPort() const {
  sockaddr_in local;
  socklen_t length = sizeof(local);
  if (_descriptor < 0 ||
      VELSys(getsockname(_descriptor, reinterpret_cast<sockaddr*>(&local), &length)) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}
