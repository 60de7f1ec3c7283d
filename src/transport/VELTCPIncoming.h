// One accepted connection as the listening side reads it: a single block, or, once the sender opened it with
// the hello, block after block, each acknowledged.
#ifndef VELP2P_TRANSPORT_VELTCPINCOMING_H
#define VELP2P_TRANSPORT_VELTCPINCOMING_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "host/VELBlockRelease.h"
#include "transport/VELTCPStreamFraming.h"

// The connector (VELSocketConnector) decides what may be read and when; this reads it. Reads never go past
// the room they are given beyond the first kilobyte of a block, which is always read.
class VELTCPIncoming {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Progress {
    kMore,      // nothing more there now
    kComplete,  // the one block is whole
    kFailed,    // a malformed length, a read error, or an end in the middle of a block
    kPaused,    // no room for more
    kHello,     // the connection opens with the hello: Stream() turns it into a stream
    kEnded,     // a stream ended between two blocks
  };
  // The first read of a connection, and the part of a block that is always read.
  static constexpr size_t kFirstReadBytes = VELTCPBlockSplitter::kFirstBytes;

  VELTCPIncoming(int descriptor, uint32_t source, Clock::time_point now)
      : descriptor(descriptor), source(source), accepted(now), lastActivity(now) {}
  VELTCPIncoming(const VELTCPIncoming&) = delete;
  VELTCPIncoming& operator=(const VELTCPIncoming&) = delete;

  // Reads the one block. hellos: whether a hello may open the connection (kHello) rather than fail it.
  Progress ReadOne(size_t room, VELTCPBlockSplitter::Budget& budget, bool hellos);
  // Turns a connection whose first read brought the hello into a stream; the bytes after the hello go to
  // sink as blocks. False when they are malformed.
  bool Stream(VELTCPBlockSplitter::Budget* budget, uint32_t maxBlock, const VELTCPBlockSplitter::Sink& sink);
  // Reads blocks of a stream into sink, through scratch for short ones and straight into their memory for
  // long ones.
  Progress ReadStream(size_t room, char* scratch, size_t scratchSize, const VELTCPBlockSplitter::Sink& sink);
  // Writes the count of the blocks taken when it changed (or, closing, in any case, with the closing bit). An
  // acknowledgement that the socket takes only in part is finished first the next time. False when closing
  // and it could not be written whole.
  bool Acknowledge(bool closing = false);

  // What the first bytes said, until the connection is a stream.
  VELTCPOpening Opening() const { return VELTCPReadOpening(_block.get(), _received); }
  bool IsStream() const { return _splitter != nullptr; }
  // Blocks taken and not yet acknowledged.
  uint32_t Unacknowledged() const { return taken - _acknowledged; }
  size_t Received() const { return _splitter ? _splitter->Received() : _received; }
  uint32_t Declared() const { return _splitter ? _splitter->Declared() : _declared; }
  // Bytes counted against the connector's bound: as received, or the declared length once it may finish.
  size_t Counted() const { return finishing ? Declared() : Received(); }
  size_t Remaining() const { return Declared() - Received(); }
  // How long it has brought nothing while it was read: a paused connection is not idle, we are.
  Clock::duration QuietFor(Clock::time_point now) const {
    return paused ? Clock::duration::zero() : now - lastActivity;
  }
  // The one block, once complete.
  VELBlockBytes TakeBlock() { return std::move(_block); }
  // Memory taken at once that the one block holds.
  size_t SizedAtOnce() const { return _sizedAtOnce; }

  const int descriptor;
  const uint32_t source;   // address of the sending host
  bool paused = false;     // read interest off: no room for its bytes, or behind a paused one from its host
  bool finishing = false;  // counted at its declared length and read to its end whatever the bound
  bool watched = false;    // registered with the loop
  int timerId = 0;
  uint32_t taken = 0;              // blocks a stream handed over
  size_t unacknowledgedBytes = 0;  // their bytes since the last acknowledgement
  Clock::time_point accepted;
  Clock::time_point lastActivity;  // last bytes read, or the end of a pause
  Clock::time_point blockSince;    // first bytes of the block under way of a stream

 private:
  bool Grow(VELTCPBlockSplitter::Budget& budget);

  // The one block: starts with room for the first read, then holds the block as it arrives. Not initialised:
  // only the received bytes are ever read.
  VELBlockBytes _block;
  size_t _capacity = 0;
  size_t _received = 0;
  uint32_t _declared = 0;  // total length from the prefix; 0 until the prefix is complete
  size_t _sizedAtOnce = 0;
  std::unique_ptr<VELTCPBlockSplitter> _splitter;  // a stream's
  uint32_t _acknowledged = 0;                      // the count last written
  char _ackLeft[kVELTCPAckBytes] = {};             // the part of an acknowledgement not taken yet
  size_t _ackLeftBytes = 0;
};

#endif
