// One TCP message: the sending side connects and sends one block, the receiving side holds one block.
#ifndef VELP2P_HOST_VELSOCKETS_H
#define VELP2P_HOST_VELSOCKETS_H

#include <cstdint>
#include <memory>

#include "host/VELBlockRelease.h"

// A connection carries exactly one block, whose first four bytes are its total length in network order
// (those four included). Results are 0 on success, otherwise an errno value, except the one code below.
class VELSockets {
 public:
  // Receive's answer when the block is longer than the capacity; the block stays for a retry.
  static constexpr int kCapacityTooSmall = 16393;  // 0x4009
  // The largest block sent or accepted; larger declared lengths are refused before any allocation.
  static constexpr int kMaxBlockBytes = 4 << 20;
  // How long ConnectTo waits for the handshake; a refused connection fails at once.
  static constexpr int kConnectTimeoutMs = 1000;
  // Without a main application Send blocks, but no longer than this.
  static constexpr int kBlockingSendTimeoutMs = 5000;

  explicit VELSockets(int descriptor = -1, void* unused = nullptr);
  virtual ~VELSockets();

  VELSockets(const VELSockets&) = delete;
  VELSockets& operator=(const VELSockets&) = delete;

  // Non-blocking connect bounded by kConnectTimeoutMs (ETIMEDOUT past it). On failure no descriptor is
  // left open.
  [[nodiscard]] int ConnectTo(uint32_t addressNetworkOrder, unsigned short port);
  // Sends one whole block. With a main application, writes what the kernel takes now and hands the rest,
  // and the descriptor, to the loop (VELOutgoingConnections), which closes it once the receiver has closed
  // its side; 0 then means accepted for sending. EINVAL when the length prefix disagrees with length,
  // EMSGSIZE above kMaxBlockBytes, ENOTCONN without a connection (one block per connection).
  [[nodiscard]] int Send(const char* bytes, int length);
  // For a socket returned by VELSocketConnector::Accept: 0 with the block copied and *length its size;
  // kCapacityTooSmall with *length the size to retry with; ENODATA once the block was taken or when none
  // was received (a connected socket does not read: the receiving side is the connector).
  [[nodiscard]] int Receive(char* buffer, int capacity, int* length);
  // The same block without a copy: 0 with the block moved into *block and *length its size, or ENODATA as
  // Receive.
  [[nodiscard]] int TakeReceivedBlock(VELBlockBytes* block, int* length);

  int GetHandler() const { return _descriptor; }
  // Used by the connector to hand over a complete received block and the address (network order) of the
  // host that sent it, 0 when unknown.
  void SetReceivedBlock(VELBlockBytes block, int length, uint32_t source);
  uint32_t GetSource() const { return _source; }

 private:
  int SendBlocking(const char* bytes, int length);

  int _descriptor;       // connected socket; -1 before ConnectTo and once Send handed it on
  VELBlockBytes _block;  // the received block, for sockets made by Accept; null once taken
  int _blockLength = 0;
  uint32_t _source = 0;
};

#endif
