// The listening side of the TCP messages: accepts connections and collects one block from each.
#ifndef VELP2P_TRANSPORT_VELSOCKETCONNECTOR_H
#define VELP2P_TRANSPORT_VELSOCKETCONNECTOR_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "host/VELBlockRelease.h"
#include "host/VELLoopLink.h"
#include "host/VELSocketCalls.h"
#include "transport/VELTCPIncoming.h"

class VELApplication;
class VELSockets;

// With a loop given to Declare, the connector registers its listening socket and every accepted
// connection with the loop and reads them without blocking, so one slow or silent client holds up
// nothing. A connection carries one block, framed by its four-byte big-endian total length
// (VELSockets::kMaxBlockBytes at most); the connector closes it as soon as the block is whole, which puts
// TIME_WAIT on this side. Complete blocks wait in a queue, and GetHandler() is readable while the queue is
// not empty.
//
// Every pending connection is accepted in one turn, and the backlog is the largest the system grants.
// Bounds: kMaxInProgress connections being read (beyond it, a new one replaces the oldest only when that
// one brought nothing for a quarter of a second; otherwise accepting waits); a connection that
// makes no progress for the idle timeout (2 s), or is not complete within the lifetime (10 s), is dropped;
// a declared length below 4 or above the maximum drops the connection before more than the first kilobyte
// is allocated for it; once that kilobyte is filled the buffer takes the declared length at once, as long as
// such buffers total at most kMaxSizedAtOnceBytes over the connections in progress, and otherwise grows only
// as its bytes arrive; at most kMaxReady blocks wait for Accept, after which no further connection is
// accepted until Accept makes room.
//
// The bytes held for blocks in progress and ready total at most kMaxHeldBytes, plus the first kilobyte of
// each connection, which is always read so that a short block is never held up. Blocks in progress read
// freely until the total is one largest block (and those first kilobytes) short of the bound; a connection
// that then finds no room is paused: its read interest is removed, its bytes wait in the kernel, and the
// idle timeout does not run while we keep it waiting (the lifetime does). Paused connections go on in the
// order of the fewest bytes left, each with its whole remaining length counted in advance, as long as the
// bound allows; the room kept back lets the one closest to completion go on whenever no block is
// finishing or waiting for Accept, so blocks keep completing however many connections wait. A paused
// connection goes on only once it is the oldest in progress from its host, and one accepted behind a
// paused one from its host waits unread, so a host's blocks are handed over in the order they came.
// Buffers of 64 KiB and more are mapped on their own (VELBlockRelease); the few kept for the next blocks go
// back to the system once nothing has been in progress or ready for a second.
//
// A connection that opens with the hello (VELTCPStreamFraming.h), when streams are on, is a stream: it
// brings block after block, each read with the same framing, bounds and timeouts as a block of its own
// connection, and the count of blocks taken goes back on it after every read. A stream is not one of the
// kMaxInProgress connections and is read whatever its host's other connections do: its sender keeps its
// blocks in order. Between blocks it may stay silent for kStreamIdleMs; then, or when a newer stream needs
// its place (kMaxStreams in all, kMaxStreamsPerHost from one host: the longest silent one between blocks
// gives way), it is closed after a last acknowledgement with the closing bit, which tells its sender that
// nothing past that count was taken. A stream with no place to take is closed the same way at once.
//
// Complete blocks are handed on in the turn they completed in: with a ready callback, it is called once the
// turn ends, and otherwise GetHandler() becomes readable.
//
// Without a loop, GetHandler() never becomes readable and Accept() accepts and
// reads one waiting connection synchronously, bounded by the idle timeout.
class VELSocketConnector {
 public:
  static constexpr int kMaxInProgress = 256;
  static constexpr int kMaxReady = 64;
  static constexpr int kIdleTimeoutMs = 2000;
  static constexpr int kLifetimeMs = 10000;
  static constexpr size_t kMaxSizedAtOnceBytes = 32 << 20;
  static constexpr size_t kMaxHeldBytes = 64 << 20;
  static constexpr int kMaxStreams = 256;
  static constexpr int kMaxStreamsPerHost = 64;
  static constexpr int kStreamIdleMs = 60000;

  // a is a backlog hint (the backlog is at least the system's maximum, so that peers connecting while
  // the loop is busy are not dropped); b is not used.
  VELSocketConnector(unsigned short port, int a, int b);
  ~VELSocketConnector();

  VELSocketConnector(const VELSocketConnector&) = delete;
  VELSocketConnector& operator=(const VELSocketConnector&) = delete;

  // Listens on the address (null: every address) and the port given to the constructor (0: any free
  // port), served by loop. 0 on success, otherwise the errno value of the failing call.
  [[nodiscard]] int Declare(const char* address, VELApplication* loop);
  unsigned short GetPort() const { return _port; }
  // Readable while a complete block waits and no ready callback takes it; not the listening socket.
  int GetHandler() const { return _readySignal.read; }
  // 0 and a socket holding the oldest complete block (the caller owns it); EAGAIN when none is ready.
  [[nodiscard]] int Accept(VELSockets** socket);
  // The same without a socket object around the block: 0, or EAGAIN when none is ready.
  [[nodiscard]] int TakeBlock(VELBlockBytes* block, int* size, uint32_t* source);
  // Whether connections that open with the hello are taken as streams (with a loop only); otherwise they are
  // dropped as a malformed length.
  void SetStreams(bool on) { _streams = on; }
  // Called once the turn in which blocks completed ends, to take them; it may destroy the connector.
  void SetReadyCallback(std::function<void()> callback) { _onReady = std::move(callback); }

  // For tests: shorter timeouts than the defaults, a smaller bound on the bytes held (more than one largest
  // block and the first kilobytes), and fewer streams.
  void SetTimeouts(int idleMs, int lifetimeMs);
  void SetHeldBound(size_t bytes) { _maxHeld = bytes; }
  void SetStreamBounds(int total, int perHost, int idleMs);
  int GetConnectionsInProgress() const { return static_cast<int>(_inProgress.size()); }
  int GetStreams() const { return static_cast<int>(_streamList.size()); }
  int GetBlocksReady() const { return static_cast<int>(_ready.size()); }
  // Connections dropped: malformed length, early close, read error, timeout or eviction.
  int GetDiscardedCount() const { return _discarded; }
  size_t GetBytesSizedAtOnce() const { return _sizedAtOnce.used; }
  // Bytes counted against kMaxHeldBytes: blocks ready, blocks in progress as received, and those allowed to
  // finish at their whole length.
  size_t GetBytesHeld() const { return _held; }
  int GetConnectionsPaused() const { return _paused; }

 private:
  using Incoming = VELTCPIncoming;
  using Progress = VELTCPIncoming::Progress;
  using Clock = std::chrono::steady_clock;

  // What blocks in progress may still read beyond their first kilobyte.
  size_t Room() const;
  // Reads a connection within the bound on the bytes held, counting what it read.
  Progress ReadCounted(Incoming& incoming);
  void OnListenReady();
  void OnIncomingReady(Incoming* incoming);
  void OnIncomingTimer(Incoming* incoming);
  void OnStreamReady(Incoming* incoming);
  // Writes the counts of the blocks streams took since they last did.
  void AcknowledgeStreams();
  // A block a stream completed.
  void Taken(Incoming* incoming, VELBlockBytes block, int size);
  void ArmTimer(Incoming* incoming, std::chrono::nanoseconds wait);
  // Turns a connection that brought the hello into a stream, when there is a place for it.
  void Stream(Incoming* incoming);
  // The stream of the host (or of any host, when 0) that has been silent longest between blocks, or null.
  Incoming* Quietest(uint32_t source, bool anyHost);
  // Closes a stream between blocks after its last acknowledgement.
  void Retire(Incoming* incoming);
  void Pause(Incoming* incoming);
  void Resume(Incoming* incoming, bool finishing);
  // Lets paused connections go on as far as the bound allows.
  void ResumeWaiting();
  void Complete(Incoming* incoming);
  void Drop(Incoming* incoming);
  void Forget(Incoming* incoming, bool abort = false);
  void TakeEarlier(uint32_t source);
  void PushReady(VELBlockBytes block, int size, uint32_t source);
  void UpdateAcceptWatch();
  // Once nothing has been in progress or ready for a while, the memory kept for the next blocks goes back.
  void WatchQuiet();
  bool Busy() const;
  int AcceptSynchronously(VELBlockBytes* block, int* size, uint32_t* source);

  unsigned short _port;  // asked for, then the one listened on
  int _backlog;
  int _listenDescriptor = -1;    // -1 until Declare succeeds
  VELSignalPipe _readySignal;    // readable while _ready holds blocks nobody was called for
  VELApplication* _application;  // where the watches are; null when none was given
  VELLoopLink _loop;             // whether _application still lives
  bool _acceptPaused;            // listening watch off while _ready is full
  int _resumeTimerId;            // pending retry after the process ran out of descriptors
  int _stallTimerId;             // pending look at whether the oldest connection stalled
  int _quietTimerId = 0;         // pending release of the memory kept for the next blocks
  int _ackTimerId = 0;           // pending acknowledgements of streams, outside a turn
  bool _acksPending = false;     // pending acknowledgements of streams at the end of the turn
  std::deque<std::unique_ptr<Incoming>> _inProgress;   // oldest first
  std::vector<std::unique_ptr<Incoming>> _streamList;  // in the order they became streams
  struct Ready {
    VELBlockBytes block;
    int size;
    uint32_t source;
  };
  std::deque<Ready> _ready;  // complete blocks, oldest first
  std::chrono::milliseconds _idleTimeout;
  std::chrono::milliseconds _lifetime;
  int _discarded;
  VELTCPBlockSplitter::Budget _sizedAtOnce{0, kMaxSizedAtOnceBytes};
  size_t _held = 0;  // see GetBytesHeld()
  size_t _maxHeld = kMaxHeldBytes;
  int _paused = 0;  // connections in progress whose read interest is off
  bool _streams = false;
  int _maxStreams = kMaxStreams;
  int _maxStreamsPerHost = kMaxStreamsPerHost;
  std::chrono::milliseconds _streamIdle{kStreamIdleMs};
  std::unique_ptr<char[]> _scratch;  // what streams read short blocks into
  std::function<void()> _onReady;
  bool _handOffPending = false;  // a call of _onReady waits for the turn's end
  bool _signalRaised = false;
  std::shared_ptr<char> _life = std::make_shared<char>();  // what a pending hand-off checks
};

#endif
