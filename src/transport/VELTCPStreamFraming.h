// The bytes of a connection that carries many blocks: the sender's hello that opens it, the blocks back to
// back with the framing of a connection that carries one, and the receiver's acknowledgements on the way
// back.
#ifndef VELP2P_TRANSPORT_VELTCPSTREAMFRAMING_H
#define VELP2P_TRANSPORT_VELTCPSTREAMFRAMING_H

#include <cstddef>
#include <cstdint>
#include <functional>

#include "host/VELBlockRelease.h"

// The hello: a length field of 0, which a receiver of one block per connection refuses, then the version.
constexpr size_t kVELTCPHelloBytes = 5;
constexpr uint8_t kVELTCPStreamVersion = 1;
extern const char kVELTCPHello[kVELTCPHelloBytes];

// An acknowledgement is four bytes in network order: the number of blocks the receiver took whole on this
// connection so far, modulo 2^31, with the high bit set on the last one the receiver writes before it closes.
constexpr uint32_t kVELTCPClosingBit = 0x80000000u;
constexpr uint32_t kVELTCPCountMask = 0x7FFFFFFFu;
constexpr size_t kVELTCPAckBytes = 4;

// What the first bytes of a connection say about it.
enum class VELTCPOpening {
  kUndecided,  // too few bytes yet
  kBlock,      // a block: one block, then the connection ends
  kHello,      // the hello of a version this side speaks: blocks follow, each acknowledged
  kUnknown,    // a hello of another version
};
VELTCPOpening VELTCPReadOpening(const char* bytes, size_t size);

void VELTCPWriteAck(uint32_t taken, bool closing, char out[kVELTCPAckBytes]);

// The sending side's reading of the acknowledgements, which may arrive cut anywhere.
class VELTCPAckReader {
 public:
  struct Update {
    uint32_t taken = 0;    // blocks newly acknowledged
    bool closing = false;  // the receiver closes: it takes nothing past what it acknowledged
    bool malformed =
        false;  // a count that goes back or past the blocks written, or bytes after the closing one
  };
  // Reads size bytes; written is the number of blocks sent so far and not yet acknowledged.
  Update Read(const char* bytes, size_t size, uint32_t written);
  // Whether any acknowledgement came: the receiver took the hello.
  bool Heard() const { return _heard; }

 private:
  unsigned char _partial[kVELTCPAckBytes] = {};
  size_t _have = 0;
  uint32_t _count = 0;  // the last count read, masked
  bool _heard = false;
  bool _closed = false;
};

// The receiving side's cutting of a stream of blocks. Pure: it is given bytes, it gives whole blocks. A
// block's memory is taken at its declared length once its first kilobyte is in and the shared budget allows,
// and grows with its bytes otherwise, so that a length that the bytes never follow costs little.
class VELTCPBlockSplitter {
 public:
  typedef std::function<void(VELBlockBytes block, int size)> Sink;
  // Memory taken at the declared length, over all the splitters that share it.
  struct Budget {
    size_t used = 0;
    size_t limit = 0;
  };
  static constexpr size_t kFirstBytes = 1024;

  VELTCPBlockSplitter(Budget* budget, uint32_t maxBlock) : _budget(budget), _maxBlock(maxBlock) {}
  ~VELTCPBlockSplitter();
  VELTCPBlockSplitter(const VELTCPBlockSplitter&) = delete;
  VELTCPBlockSplitter& operator=(const VELTCPBlockSplitter&) = delete;

  // Takes size bytes and hands every block they complete to sink, in order. False at a length outside 4 to
  // the maximum, or when memory ran out; nothing may be given after that.
  bool Take(const char* bytes, size_t size, const Sink& sink);
  // Where the rest of a large block under way can be received straight into, and how much of it: null when no
  // block of at least minimum bytes left is under way, or when memory ran out.
  char* Straight(size_t minimum, size_t* room);
  // The bytes received into what Straight gave; a block they complete goes to sink.
  void Filled(size_t count, const Sink& sink);

  // Bytes of the block under way (its length field included); 0 between blocks.
  size_t Received() const { return _received; }
  // Its declared length, 0 until its length field is in.
  uint32_t Declared() const { return _declared; }

 private:
  bool Room(size_t needed);
  void Complete(const Sink& sink);
  void Release();

  Budget* _budget;
  uint32_t _maxBlock;
  unsigned char _head[4] = {};  // the length field while it is incomplete
  uint32_t _declared = 0;
  size_t _received = 0;
  VELBlockBytes _block;
  size_t _capacity = 0;
  size_t _atOnce = 0;  // capacity counted in the budget
};

#endif
