// Sends TCP blocks without ever blocking the loop: a bounded FIFO per destination, driven by the loop.
#ifndef VELP2P_TRANSPORT_VELTCPSENDER_H
#define VELP2P_TRANSPORT_VELTCPSENDER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "host/VELLoopLink.h"
#include "transport/VELTCPStream.h"

class VELApplication;

// A block goes one of two ways, and blocks to one destination are received in the order they were enqueued
// whichever way each goes:
// - On a stream (VELTCPStream), when the caller says the destination takes many blocks per connection:
//   one connection per destination, opened by the first such block and kept; blocks are written back to
//   back, as many per system call as the socket takes, and a block counts as delivered when the receiver
//   acknowledges it. A stream that stays idle for streamIdleMs is closed (this side then keeps the
//   TIME_WAIT). When the receiver closes a stream with its closing acknowledgement, the blocks it did not
//   take are sent again in order; when it refuses the stream at once, or the connection ends without ever
//   being acknowledged, that destination gets one connection per block for plainForMs. When a stream that
//   moved blocks breaks, those written and not acknowledged fail, and those not yet written whole go again.
// - On a connection of its own: the receiver reads one block per connection, and the block counts as
//   delivered when the receiver closes it, which it does once it has read the whole block; the receiver
//   therefore keeps the TIME_WAIT. A destination on another host has one such connection at a time: a
//   block's connection opens once the receiver has taken the previous block, so no loss or retransmission
//   on the way can reorder them. A destination on this host, where the kernel hands segments over in the
//   order they were sent, has up to a window of connections in flight: the next one opens once the
//   previous block has gone out whole, if that block fits the first flight of segments, and once it was
//   taken otherwise. The receiver reads the earlier connections of a host before a later one.
// When a destination moves from one way to the other, the blocks of the first way are all delivered before
// the second starts.
//
// A handshake that goes unanswered is retried with a fresh connection after a back-off that doubles,
// until the connect deadline; then the destination counts as dead for a while: its queued blocks fail and
// new ones are refused at once. A block whose connection breaks before it was delivered fails. Every failure
// found after Enqueue returned is reported once per block through the failure callback, with the tag the
// caller gave, never from inside Enqueue; the callback may enqueue again but must not destroy the sender.
// Blocks still queued when the sender is destroyed are dropped without a report. The loop and the sender
// may be destroyed in either order: a sender whose loop is gone refuses new blocks, and its destructor only
// closes its connections.
//
// Blocks come in two lanes that share each destination's order (and its stream) but not their room: the
// application's, and the automatic one (answers and other blocks the library sends on its own, which other
// hosts can provoke). Each lane has its own bounds on blocks and bytes, counted until each block is
// delivered or failed, and on open connections: a stream counts as one connection of the lane whose block
// opened it, and an idle stream is closed when its lane needs the room.
class VELTCPSender {
 public:
  // kTimedOut: no handshake within the deadline, or the receiver never closed (or acknowledged); kRefused:
  // nothing listens; kReset: the connection broke; kUnreachable: no route to the address.
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
    int deliveryDeadlineMs = 10000;  // from connected to the receiver's close, or between acknowledgements
    int deadForMs = 30000;           // how long a timed-out destination refuses blocks
    int streamIdleMs = 30000;        // a stream with nothing to deliver for this long is closed
    int plainForMs = 60000;          // one connection per block after a stream was refused
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

  // Queues one block of size bytes (its first four bytes are its length in network order). stream: the
  // destination takes many blocks per connection. 0 when queued; EINVAL for a block whose prefix disagrees
  // with its size, EMSGSIZE above VELSockets::kMaxBlockBytes, EHOSTDOWN for a destination that timed out
  // recently, ENOBUFS when the lane's queue for the destination or its total is full, ESHUTDOWN once the loop
  // is gone. Makes no system call, except that a block for a stream with nothing else on its way, enqueued
  // outside the loop's callbacks, is written at once; inside them, what the turn enqueued is written when it
  // ends. Callable from any callback of the loop, the failure callback included.
  [[nodiscard]] int Enqueue(uint32_t addressNetworkOrder, unsigned short port, VELBlockBytes bytes,
                            size_t size, void* tag, Lane lane, bool stream);
  // The same from a vector, which is copied.
  [[nodiscard]] int Enqueue(uint32_t addressNetworkOrder, unsigned short port, std::vector<char>&& block,
                            void* tag, Lane lane = Lane::kApplication, bool stream = false);

  const VELLoopLink& Loop() const { return _loop; }

  // Blocks queued or in flight, all destinations together, of both lanes or of one.
  int Pending() const { return _lanes[0].blocks + _lanes[1].blocks; }
  int Pending(Lane lane) const { return _lanes[static_cast<int>(lane)].blocks; }
  // Streams open or opening.
  int Streams() const { return static_cast<int>(_links.size()); }

 private:
  using Clock = std::chrono::steady_clock;
  typedef uint64_t Key;  // address (network order) and port
  typedef VELTCPOutgoingBlock Block;
  struct Connection;
  struct Destination {
    Key key;
    uint32_t address;
    unsigned short port;
    std::deque<Block> queue;        // not yet given a connection or a stream
    std::deque<uint64_t> inFlight;  // connections, in the order they were opened
    uint64_t link = 0;              // its stream, 0 when none
    Clock::time_point plainUntil;   // a stream was refused: one connection per block until then
    int blocks[2] = {0, 0};         // queued and in flight, by lane
    size_t bytes[2] = {0, 0};
    int window = 1;        // connections it may have in flight
    bool waiting = false;  // in the waiting list of waitingLane
    Lane waitingLane = Lane::kApplication;
    bool pumping = false;  // in _toPump
  };
  // A stream: its connection, its state, and its bytes.
  struct Link {
    uint64_t id;
    Key key;
    Lane lane;  // whose connection it counts as
    int descriptor = -1;
    bool watched = false;  // registered with the loop
    bool open = false;     // the handshake is over
    bool writing = false;  // the watch asks for writability
    bool flushQueued = false;
    int timerId = 0;     // connect retry, then the delivery and idle deadlines
    int startError = 0;  // a connect that failed at once, reported from the timer
    int retryMs = 0;
    size_t delivered = 0;  // over its life
    Clock::time_point connectDeadline;
    Clock::time_point lastProgress;  // of its acknowledgements, or since it had nothing to wait for
    VELTCPStream bytes;
  };
  struct LaneState {
    int blocks = 0;
    size_t bytes = 0;
    int open = 0;             // connections
    std::deque<Key> waiting;  // destinations whose next block waits for one of its connections, oldest first
  };
  // Tags of blocks settled during a call, reported once the sender's state is whole again.
  struct Outcomes {
    std::vector<void*> delivered;
    std::vector<void*> failed;
    Failure reason = Failure::kReset;
  };

  void Pump(Destination& destination);
  bool PumpConnection(Destination& destination);
  void Connect(Connection& connection);
  void OnReady(uint64_t id, bool readable, bool writable, bool error);
  void OnTimer(uint64_t id);
  void Write(Connection& connection);
  void Drain(Connection& connection);
  void Finish(Connection& connection, bool delivered, Failure reason, bool wholeQueue);
  void SetTimer(Connection& connection, int delayMs);
  void Serve();
  bool IsDead(Key key);
  void MarkDead(Key key);
  // The destination refused a stream: one connection per block for plainForMs, even once it is forgotten.
  void MarkPlain(Destination& destination);
  bool Watch(Connection& connection);
  void Close(Connection& connection);
  void Collect(uint32_t address, unsigned short port);
  void PumpQueued();
  LaneState& StateOf(Lane lane) { return _lanes[static_cast<int>(lane)]; }
  int ConnectionLimit(Lane lane) const;
  void Wait(Destination& destination, Lane lane);
  void Account(Destination& destination, const Block& block, std::vector<void*>& tags);
  // After blocks were settled: forgets an empty destination, or moves it on; then reports.
  void Settled(Key key, Outcomes& outcomes);

  // Errors that no retry would mend.
  static bool IsFinal(int error);
  static int MsUntil(Clock::time_point deadline);
  // Sets key's time in until, forgetting the past ones once there are many.
  static void Remember(std::map<Key, Clock::time_point>& until, Key key, Clock::time_point when);
  static Lane LaneOf(const Block& block) { return static_cast<Lane>(block.lane); }

  // Streams (VELTCPSenderStreams.cpp).
  Link* LinkOf(const Destination& destination);
  Link& OpenLink(Destination& destination, Lane lane);
  void ConnectLink(Link& link);
  void OnLinkReady(uint64_t id, bool readable, bool writable, bool error);
  void OnLinkTimer(uint64_t id);
  void ArmLinkTimer(Link& link, int delayMs);
  void ScheduleFlush(Link& link);
  void FlushQueued();
  // Writes what the stream has; a failure ends it at once when mayEnd, else from the loop.
  void Flush(Link& link, bool mayEnd);
  void ReadLink(Link& link);
  // Ends a stream: its blocks fail with reason, or go back to the front of the queue (returned).
  void EndLink(Link& link, bool returned, Failure reason, bool abort, Outcomes& outcomes);
  bool CloseIdleLink(Lane lane);

  VELLoopLink _loop;
  VELApplication* _application;  // the loop's; used only while _loop says it lives
  Limits _limits;
  FailureCallback _onFailure;
  std::function<void(void* tag)> _onDelivered;
  std::map<Key, std::unique_ptr<Destination>> _destinations;  // with blocks queued or in flight, or a stream
  std::map<uint64_t, std::unique_ptr<Connection>> _connections;
  std::map<uint64_t, std::unique_ptr<Link>> _links;
  std::map<Key, std::chrono::steady_clock::time_point> _deadUntil;
  std::map<Key, std::chrono::steady_clock::time_point> _plainUntil;
  LaneState _lanes[2];  // by Lane
  uint64_t _nextConnection = 1;
  bool _collecting = false;
  std::vector<Key> _toPump;  // destinations given blocks since the loop last opened connections
  int _pumpTimer = 0;
  std::vector<uint64_t> _toFlush;  // streams given blocks to write
  bool _flushScheduled = false;
  int _flushTimer = 0;
  int _quietTimer = 0;  // pending release of the memory kept for large blocks
  std::shared_ptr<char> _life = std::make_shared<char>();  // what a flush deferred to the turn's end checks
};

#endif
