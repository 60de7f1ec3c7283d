// The listening side of the TCP messages: accepts connections and collects one block from each.
#ifndef VELP2P_HOST_VELSOCKETCONNECTOR_H
#define VELP2P_HOST_VELSOCKETCONNECTOR_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "host/VELBlockRelease.h"
#include "host/VELLoopLink.h"

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
  // Readable while a complete block waits; not the listening socket.
  int GetHandler() const { return _readyRead; }
  // 0 and a socket holding the oldest complete block (the caller owns it); EAGAIN when none is ready.
  [[nodiscard]] int Accept(VELSockets** socket);

  // For tests: shorter timeouts than the defaults, and a smaller bound on the bytes held (more than one
  // largest block and the first kilobytes).
  void SetTimeouts(int idleMs, int lifetimeMs);
  void SetHeldBound(size_t bytes) { _maxHeld = bytes; }
  int GetConnectionsInProgress() const { return static_cast<int>(_inProgress.size()); }
  int GetBlocksReady() const { return static_cast<int>(_ready.size()); }
  // Connections dropped: malformed length, early close, read error, timeout or eviction.
  int GetDiscardedCount() const { return _discarded; }
  size_t GetBytesSizedAtOnce() const { return _sizedAtOnce; }
  // Bytes counted against kMaxHeldBytes: blocks ready, blocks in progress as received, and those allowed to
  // finish at their whole length.
  size_t GetBytesHeld() const { return _held; }
  int GetConnectionsPaused() const { return _paused; }

 private:
  struct Incoming;
  enum class Progress { kMore, kComplete, kFailed, kPaused };

  // Reads what has arrived, at most room bytes beyond the first kilobyte; kPaused once room ran out.
  Progress ReadSome(Incoming& incoming, size_t room);
  // ReadSome within the bound on the bytes held, counting what it read.
  Progress ReadCounted(Incoming& incoming);
  // Makes room for more of the block: the first read's, then the declared length at once while
  // kMaxSizedAtOnceBytes allows, otherwise a step. False when memory ran out.
  bool Grow(Incoming& incoming);
  void OnListenReady();
  void OnIncomingReady(Incoming* incoming);
  void OnIncomingTimer(Incoming* incoming);
  void Pause(Incoming* incoming);
  void Resume(Incoming* incoming, bool finishing);
  // Lets paused connections go on as far as the bound allows.
  void ResumeWaiting();
  void Complete(Incoming* incoming);
  void Drop(Incoming* incoming);
  void Forget(Incoming* incoming);
  void TakeEarlier(uint32_t source);
  void PushReady(VELBlockBytes block, int size, uint32_t source);
  void UpdateAcceptWatch();
  // Once nothing has been in progress or ready for a while, the memory kept for the next blocks goes back.
  void WatchQuiet();
  int AcceptSynchronously(VELBlockBytes* block, int* size, uint32_t* source);

  unsigned short _port;  // asked for, then the one listened on
  int _backlog;
  int _listenDescriptor;         // -1 until Declare succeeds
  int _readyRead;                // read end of the self-pipe signalling _ready
  int _readyWrite;               // write end of that pipe
  VELApplication* _application;  // where the watches are; null when none was given
  VELLoopLink _loop;             // whether _application still lives
  bool _acceptPaused;            // listening watch off while _ready is full
  int _resumeTimerId;            // pending retry after the process ran out of descriptors
  int _stallTimerId;             // pending look at whether the oldest connection stalled
  int _quietTimerId = 0;         // pending release of the memory kept for the next blocks
  std::deque<std::unique_ptr<Incoming>> _inProgress;  // oldest first
  struct Ready {
    VELBlockBytes block;
    int size;
    uint32_t source;
  };
  std::deque<Ready> _ready;  // complete blocks, oldest first
  std::chrono::milliseconds _idleTimeout;
  std::chrono::milliseconds _lifetime;
  int _discarded;
  size_t _sizedAtOnce = 0;  // capacity of the buffers of connections in progress that were sized at once
  size_t _held = 0;         // see GetBytesHeld()
  size_t _maxHeld = kMaxHeldBytes;
  int _paused = 0;  // connections in progress whose read interest is off
};

#endif
