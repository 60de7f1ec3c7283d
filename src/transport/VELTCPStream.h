// The bytes of one connection that carries blocks to a receiver that takes many: the hello, the blocks back
// to back, written as many at a time as the socket takes, and the acknowledgements that come back.
#ifndef VELP2P_TRANSPORT_VELTCPSTREAM_H
#define VELP2P_TRANSPORT_VELTCPSTREAM_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "host/VELBlockRelease.h"
#include "transport/VELTCPStreamFraming.h"

// One block as a sender holds it until it is delivered or failed.
struct VELTCPOutgoingBlock {
  VELBlockBytes bytes;
  size_t size = 0;
  void* tag = nullptr;
  int lane = 0;
  bool stream = false;  // may travel on a stream
};

// Knows nothing of the loop: the sender says when to write and read, and what becomes of the blocks.
class VELTCPStream {
 public:
  // What a read of the acknowledgements found.
  struct Reading {
    size_t delivered = 0;    // blocks newly taken by the receiver, now at the front of Blocks()
    bool closing = false;    // the receiver closes, having taken nothing past them
    bool ended = false;      // the connection ended (or failed) without that
    bool malformed = false;  // acknowledgements that make no sense
  };

  VELTCPStream() = default;
  VELTCPStream(const VELTCPStream&) = delete;
  VELTCPStream& operator=(const VELTCPStream&) = delete;

  void Push(VELTCPOutgoingBlock&& block) { _blocks.push_back(std::move(block)); }
  // Writes the hello and the blocks not yet written, as far as the socket takes them: 0 once everything is
  // written, EAGAIN when the socket is full, otherwise the errno value of the failure.
  int Write(int descriptor);
  // Reads what came back.
  Reading Read(int descriptor);
  // The blocks the receiver has not acknowledged yet, oldest first, written or not.
  std::deque<VELTCPOutgoingBlock>& Blocks() { return _blocks; }
  // Blocks written whole and not acknowledged.
  size_t Written() const { return _written; }
  bool Unwritten() const { return _helloLeft > 0 || _written < _blocks.size(); }
  // Whether any of the hello went out: the connection was established.
  bool Started() const { return _helloLeft < kVELTCPHelloBytes; }
  // Whether the receiver ever acknowledged anything: it took the hello.
  bool Heard() const { return _acks.Heard(); }
  // Takes the delivered blocks off the front, once the sender has reported them.
  VELTCPOutgoingBlock PopDelivered();

 private:
  std::deque<VELTCPOutgoingBlock> _blocks;
  size_t _helloLeft = kVELTCPHelloBytes;
  size_t _written = 0;  // blocks of _blocks written whole
  size_t _offset = 0;   // bytes of _blocks[_written] written
  VELTCPAckReader _acks;
};

#endif
