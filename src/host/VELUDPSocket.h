// A non-blocking UDP socket bound to a multicast group's port, sending datagrams to the group.
#ifndef VELP2P_HOST_VELUDPSOCKET_H
#define VELP2P_HOST_VELUDPSOCKET_H

#include <netinet/in.h>

#include <cstdint>

// Several sockets, in one process or several, may share a port: each receives every datagram sent to the
// group, its own included. Results are 0 on success, otherwise the errno value of the failing call.
class VELUDPSocket {
 public:
  // Asked of the kernel so that a burst of announcements from many peers is not dropped between two
  // turns of the loop; the system may grant less (see GetReceiveBufferSize).
  static constexpr int kReceiveBufferBytes = 1 << 20;

  VELUDPSocket();
  ~VELUDPSocket();

  VELUDPSocket(const VELUDPSocket&) = delete;
  VELUDPSocket& operator=(const VELUDPSocket&) = delete;

  // Binds the port (shared), joins the group on the given interface (null: the one the routing table
  // picks), loops its own datagrams back, and limits them to the local link (TTL 1).
  [[nodiscard]] int Initialize(const char* interfaceAddress, unsigned short port, const char* groupAddress);
  // One datagram to the group and port. EAGAIN when the send buffer is full (the datagram is not sent).
  [[nodiscard]] int Send(const char* bytes, int length);
  // One datagram. On 0, *received is its length. EAGAIN when none is waiting. A datagram longer than the
  // capacity is consumed and answered with EMSGSIZE, *received = the bytes actually in the buffer
  // (capacity): it cannot be read again, and callers discard it. fromAddress, when given, receives the
  // sender's IPv4 address in network order (0 when unknown).
  [[nodiscard]] int Receive(char* buffer, int capacity, int* received, uint32_t* fromAddress = nullptr);

  int GetHandler() const { return _descriptor; }
  // The receive buffer the kernel granted, in its own accounting (Linux reports twice the payload room).
  int GetReceiveBufferSize() const;
  unsigned short GetPort() const;

 private:
  int _descriptor;           // -1 until Initialize succeeds
  sockaddr_in _destination;  // the group and port every datagram goes to
};

#endif
