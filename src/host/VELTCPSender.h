// Sends TCP blocks without ever blocking the loop: a bounded FIFO per destination, driven by the loop.
#ifndef VELP2P_HOST_VELTCPSENDER_H
#define VELP2P_HOST_VELTCPSENDER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "host/VELLoopLink.h"

class VELApplication;

// Each block still travels on a connection of its own (the receiver reads one block per connection), and a
// block counts as delivered when the receiver closes its connection, which it does once it has read the
// whole block; the receiver therefore keeps the TIME_WAIT. Blocks to one destination are received in the
// order they were enqueued:
// - A destination on another host has one connection at a time: a block's connection opens once the
//   receiver has taken the previous block, so no loss or retransmission on the way can reorder them.
// - A destination on this host, where the kernel hands segments over in the order they were sent, has up
//   to a window of connections in flight: the next one opens once the previous block has gone out whole,
//   if that block fits the first flight of segments, and once it was taken otherwise. The receiver reads
//   the earlier connections of a host before a later one.
//
// A handshake that goes unanswered is retried with a fresh connection after a back-off that doubles,
// until the connect deadline; then the destination counts as dead for a while: its queued blocks fail and
// new ones are refused at once. Every failure found after Enqueue returned is reported once per block
// through the failure callback, with the tag the caller gave, never from inside Enqueue; the callback may
// enqueue again but must not destroy the sender. Blocks still queued when the sender is destroyed are
// dropped without a report. The loop and the sender may be destroyed in either order: a sender whose loop
// is gone refuses new blocks, and its destructor only closes its connections.
//
// Blocks come in two lanes that share each destination's order but not their room: the application's, and
// the automatic one (answers and other blocks the library sends on its own, which other hosts can provoke).
// Each lane has its own bounds on blocks, bytes and open connections, so that automatic blocks, however
// many, never take the application's room or connections.
class VELTCPSender {
 public:
  // kTimedOut: no handshake within the deadline, or the receiver never closed; kRefused: nothing listens;
  // kReset: the connection broke; kUnreachable: no route to the address.
  enum class Failure { kTimedOut, kRefused, kReset, kUnreachable };
  typedef std::function<void(uint32_t addressNetworkOrder, unsigned short port, Failure reason, void* tag)>
      FailureCallback;
  // "timed out", "refused", "reset" or "unreachable".
  static const char* FailureText(Failure reason);
  enum class Lane { kApplication, kAutomatic };

  // The application lane's bounds first, then the automatic lane's.
  struct Limits {
    int blocksPerDestination = 1024;
    size_t bytesPerDestination = 16u << 20;
    int blocksTotal = 8192;
    size_t bytesTotal = 64u << 20;
    int connections = 256;           // open at once, all destinations together; the others wait their turn
    int window = 16;                 // connections in flight to one destination on this host
    int firstRetryMs = 200;          // first handshake retry; doubles after each
    int connectDeadlineMs = 3000;    // for the handshake of one block, retries included
    int deliveryDeadlineMs = 10000;  // from connected to the receiver's close
    int deadForMs = 30000;           // how long a timed-out destination refuses blocks
    int automaticBlocksPerDestination = 64;
    int automaticBlocks = 1024;
    size_t automaticBytes = 4u << 20;
    int automaticConnections = 32;
  };

  explicit VELTCPSender(VELApplication* application);
  VELTCPSender(VELApplication* application, const Limits& limits);
  ~VELTCPSender();

  VELTCPSender(const VELTCPSender&) = delete;
  VELTCPSender& operator=(const VELTCPSender&) = delete;

  void SetFailureCallback(FailureCallback callback) { _onFailure = std::move(callback); }
  // Called with the tag of each block the receiver took whole; the same rules as the failure callback.
  void SetDeliveredCallback(std::function<void(void* tag)> callback) { _onDelivered = std::move(callback); }

  // Queues one block (its first four bytes are its length in network order). 0 when queued; EINVAL for a
  // block whose prefix disagrees with its size, EMSGSIZE above VELSockets::kMaxBlockBytes, EHOSTDOWN for
  // a destination that timed out recently, ENOBUFS when the lane's queue for the destination or its total
  // is full, ESHUTDOWN once the loop is gone. Makes no system call (the loop opens the connections on its
  // next turn); callable from any callback of the loop, the failure callback included.
  [[nodiscard]] int Enqueue(uint32_t addressNetworkOrder, unsigned short port, std::vector<char>&& block,
                            void* tag, Lane lane = Lane::kApplication);

  const VELLoopLink& Loop() const { return _loop; }

  // Blocks queued or in flight, all destinations together, of both lanes or of one.
  int Pending() const { return _lanes[0].blocks + _lanes[1].blocks; }
  int Pending(Lane lane) const { return _lanes[static_cast<int>(lane)].blocks; }

 private:
  struct Connection;
  struct Destination;
  typedef uint64_t Key;
  struct LaneState {
    int blocks = 0;
    size_t bytes = 0;
    int open = 0;             // connections
    std::deque<Key> waiting;  // destinations whose next block waits for one of its connections, oldest first
  };

  void Pump(Destination& destination);
  void Connect(Connection& connection);
  void OnReady(uint64_t id, bool readable, bool writable, bool error);
  void OnTimer(uint64_t id);
  void Write(Connection& connection);
  void Drain(Connection& connection);
  void Finish(Connection& connection, bool delivered, Failure reason, bool wholeQueue);
  void SetTimer(Connection& connection, int delayMs);
  void Serve();
  bool IsDead(Key key);
  bool Watch(Connection& connection);
  void Close(Connection& connection);
  void Collect(uint32_t address, unsigned short port);
  void PumpQueued();
  LaneState& StateOf(Lane lane) { return _lanes[static_cast<int>(lane)]; }
  int ConnectionLimit(Lane lane) const;
  void Wait(Destination& destination, Lane lane);

  VELLoopLink _loop;
  VELApplication* _application;  // the loop's; used only while _loop says it lives
  Limits _limits;
  FailureCallback _onFailure;
  std::function<void(void* tag)> _onDelivered;
  std::map<Key, std::unique_ptr<Destination>> _destinations;  // with blocks queued or in flight
  std::map<uint64_t, std::unique_ptr<Connection>> _connections;
  std::map<Key, std::chrono::steady_clock::time_point> _deadUntil;
  LaneState _lanes[2];  // by Lane
  uint64_t _nextConnection = 1;
  bool _collecting = false;
  std::vector<Key> _toPump;  // destinations given blocks since the loop last opened connections
  int _pumpTimer = 0;
};

#endif
