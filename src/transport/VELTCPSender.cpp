#include "transport/VELTCPSender.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "host/VELLocalAddress.h"
#include "host/VELSocketCalls.h"
#include "host/VELSockets.h"
#include "velp2p/VELApplication.h"

namespace {

// A block larger than one segment would otherwise have its last, shorter segment held back until the
// receiver acknowledges the others, which it delays: the sender then retransmits, and the block waits.
// Smaller blocks leave in one segment, and need no extra call.
constexpr size_t kOneSegmentBytes = 1024;

// Blocks up to this size fit the first flight of segments of a new connection (ten of a typical LAN's).
constexpr size_t kPipelinedBytes = 8 << 10;

// Time without a block on its way after which the memory kept for large blocks goes back.
constexpr int kQuietMs = 1000;

int LaneIndex(VELTCPSender::Lane lane) {
  return static_cast<int>(lane);
}

}  // namespace

struct VELTCPSender::Connection {
  enum class Phase { kConnecting, kWriting, kDraining };

  uint64_t id;
  Key key;
  Block block;
  Phase phase = Phase::kConnecting;
  int descriptor = -1;
  bool watched = false;  // registered with the loop
  size_t offset = 0;     // of the block, written so far
  int timerId = 0;       // the one pending deadline or retry
  int startError = 0;    // a connect that failed at once, reported from the timer
  int retryMs = 0;
  Clock::time_point connectDeadline;
};

bool VELTCPSender::IsFinal(int error) {
  return error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH || error == EINVAL ||
         error == EACCES || error == EPERM || error == EADDRNOTAVAIL || error == EAFNOSUPPORT;
}

int VELTCPSender::MsUntil(Clock::time_point deadline) {
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return remaining > 0 ? static_cast<int>(remaining) : 0;
}

const char* VELTCPSender::FailureText(Failure reason) {
  switch (reason) {
    case Failure::kTimedOut:
      return "timed out";
    case Failure::kRefused:
      return "refused";
    case Failure::kReset:
      return "reset";
    case Failure::kUnreachable:
      break;
  }
  return "unreachable";
}

VELTCPSender::VELTCPSender(VELApplication* application) : VELTCPSender(application, Limits()) {}

VELTCPSender::VELTCPSender(VELApplication* application, const Limits& limits)
    : _loop(application), _application(application), _limits(limits) {}

VELTCPSender::~VELTCPSender() {
  // A loop destroyed first took the watches and timers with it.
  bool withLoop = _loop.Get() != nullptr;
  for (auto& entry : _connections) {
    Connection& connection = *entry.second;
    if (withLoop && connection.watched) {
      _application->RemoveWatch(connection.descriptor);
    }
    VELTCPClose(connection.descriptor);
    if (withLoop) {
      _application->CancelTimer(connection.timerId);
    }
  }
  for (auto& entry : _links) {
    Link& link = *entry.second;
    if (withLoop && link.watched) {
      _application->RemoveWatch(link.descriptor);
    }
    VELTCPClose(link.descriptor);
    if (withLoop) {
      _application->CancelTimer(link.timerId);
    }
  }
  if (withLoop) {
    _application->CancelTimer(_pumpTimer);
    _application->CancelTimer(_flushTimer);
    _application->CancelTimer(_quietTimer);
  }
}

int VELTCPSender::Enqueue(uint32_t addressNetworkOrder, unsigned short port, std::vector<char>&& block,
                          void* tag, Lane lane, bool stream) {
  std::unique_ptr<char[]> bytes(new (std::nothrow) char[block.empty() ? 1 : block.size()]);
  if (!bytes) {
    return ENOBUFS;
  }
  std::memcpy(bytes.get(), block.data(), block.size());
  return Enqueue(addressNetworkOrder, port, std::move(bytes), block.size(), tag, lane, stream);
}

int VELTCPSender::Enqueue(uint32_t addressNetworkOrder, unsigned short port, VELBlockBytes bytes, size_t size,
                          void* tag, Lane lane, bool stream) {
  if (size < 4 || !bytes) {
    return EINVAL;
  }
  if (size > static_cast<size_t>(VELSockets::kMaxBlockBytes)) {
    return EMSGSIZE;
  }
  uint32_t prefix;
  std::memcpy(&prefix, bytes.get(), sizeof(prefix));
  if (ntohl(prefix) != size) {
    return EINVAL;
  }
  if (_loop.Get() == nullptr) {
    return ESHUTDOWN;
  }
  Key key = (static_cast<Key>(addressNetworkOrder) << 16) | port;
  if (IsDead(key)) {
    return EHOSTDOWN;
  }
  auto found = _destinations.find(key);
  Destination* destination = found == _destinations.end() ? nullptr : found->second.get();
  const int index = LaneIndex(lane);
  const int queuedBlocks = destination ? destination->blocks[index] : 0;
  const size_t queuedBytes = destination ? destination->bytes[index] : 0;
  LaneState& state = StateOf(lane);
  const bool full = lane == Lane::kApplication
                        ? state.blocks >= _limits.blocksTotal || state.bytes + size > _limits.bytesTotal ||
                              queuedBlocks >= _limits.blocksPerDestination ||
                              queuedBytes + size > _limits.bytesPerDestination
                        : state.blocks >= _limits.automaticBlocks ||
                              state.bytes + size > _limits.automaticBytes ||
                              queuedBlocks >= _limits.automaticBlocksPerDestination;
  if (full) {
    return ENOBUFS;
  }
  if (destination == nullptr) {
    auto created = std::make_unique<Destination>();
    created->key = key;
    created->address = addressNetworkOrder;
    created->port = port;
    created->window = VELIsLocalIPv4(addressNetworkOrder) ? _limits.window : 1;
    auto plain = _plainUntil.find(key);
    if (plain != _plainUntil.end()) {
      created->plainUntil = plain->second;
    }
    destination = created.get();
    _destinations[key] = std::move(created);
  }
  ++state.blocks;
  state.bytes += size;
  ++destination->blocks[index];
  destination->bytes[index] += size;
  Block block{std::move(bytes), size, tag, index, stream};
  // A stream already there takes the block at once when nothing waits before it.
  Link* link = LinkOf(*destination);
  if (link != nullptr && stream && destination->queue.empty() && !destination->waiting &&
      destination->inFlight.empty() && Clock::now() >= destination->plainUntil) {
    link->bytes.Push(std::move(block));
    ScheduleFlush(*link);
    return 0;
  }
  destination->queue.push_back(std::move(block));
  // Connections are opened from the loop, so that a send call makes no system call at all.
  if (!destination->pumping) {
    destination->pumping = true;
    _toPump.push_back(key);
  }
  if (_pumpTimer == 0) {
    _pumpTimer = _application->AddTimer(0, [this]() { PumpQueued(); });
  }
  return 0;
}

void VELTCPSender::PumpQueued() {
  _pumpTimer = 0;
  std::vector<Key> keys;
  keys.swap(_toPump);
  for (Key key : keys) {
    auto found = _destinations.find(key);
    if (found != _destinations.end()) {
      found->second->pumping = false;
      if (!found->second->waiting) {
        Pump(*found->second);
      }
    }
  }
}

bool VELTCPSender::IsDead(Key key) {
  auto found = _deadUntil.find(key);
  if (found == _deadUntil.end()) {
    return false;
  }
  if (found->second > Clock::now()) {
    return true;
  }
  _deadUntil.erase(found);
  return false;
}

void VELTCPSender::MarkDead(Key key) {
  Remember(_deadUntil, key, Clock::now() + std::chrono::milliseconds(_limits.deadForMs));
}

void VELTCPSender::MarkPlain(Destination& destination) {
  destination.plainUntil = Clock::now() + std::chrono::milliseconds(_limits.plainForMs);
  Remember(_plainUntil, destination.key, destination.plainUntil);
}

void VELTCPSender::Remember(std::map<Key, Clock::time_point>& until, Key key, Clock::time_point when) {
  until[key] = when;
  if (until.size() > 1024) {
    const Clock::time_point now = Clock::now();
    for (auto it = until.begin(); it != until.end();) {
      it = it->second <= now ? until.erase(it) : std::next(it);
    }
  }
}

void VELTCPSender::Pump(Destination& destination) {
  while (!destination.queue.empty() && !destination.waiting) {
    const Block& front = destination.queue.front();
    Link* link = LinkOf(destination);
    if (!front.stream || Clock::now() < destination.plainUntil) {
      // Blocks on the stream go first, all of them, to keep the order.
      if ((link != nullptr && !link->bytes.Blocks().empty()) || !PumpConnection(destination)) {
        return;
      }
      continue;
    }
    if (!destination.inFlight.empty()) {
      return;  // the same, the other way round
    }
    if (link == nullptr) {
      const Lane lane = LaneOf(front);
      if (StateOf(lane).open >= ConnectionLimit(lane) && !CloseIdleLink(lane)) {
        Wait(destination, lane);
        return;
      }
      link = &OpenLink(destination, lane);
    }
    link->bytes.Push(std::move(destination.queue.front()));
    destination.queue.pop_front();
    ScheduleFlush(*link);
  }
}

bool VELTCPSender::PumpConnection(Destination& destination) {
  if (static_cast<int>(destination.inFlight.size()) >= destination.window) {
    return false;
  }
  // The receiver reads the connections of one host in the order it accepts them. The next connection is
  // therefore opened only once the previous block has gone out whole, and only when that block is small
  // enough to leave in the first flight of segments; a larger one must be taken before the next starts.
  if (!destination.inFlight.empty()) {
    const Connection& previous = *_connections.at(destination.inFlight.back());
    if (previous.phase != Connection::Phase::kDraining || previous.block.size > kPipelinedBytes) {
      return false;
    }
  }
  const Lane lane = LaneOf(destination.queue.front());
  if (StateOf(lane).open >= ConnectionLimit(lane)) {
    Wait(destination, lane);
    return false;
  }
  auto created = std::make_unique<Connection>();
  Connection& connection = *created;
  connection.id = _nextConnection++;
  connection.key = destination.key;
  connection.block = std::move(destination.queue.front());
  destination.queue.pop_front();
  ++StateOf(lane).open;
  connection.retryMs = _limits.firstRetryMs;
  connection.connectDeadline = Clock::now() + std::chrono::milliseconds(_limits.connectDeadlineMs);
  destination.inFlight.push_back(connection.id);
  _connections[connection.id] = std::move(created);
  Connect(connection);
  return true;
}

void VELTCPSender::SetTimer(Connection& connection, int delayMs) {
  _application->CancelTimer(connection.timerId);
  uint64_t id = connection.id;
  connection.timerId = _application->AddTimer(delayMs, [this, id]() { OnTimer(id); });
}

void VELTCPSender::Connect(Connection& connection) {
  const Destination& destination = *_destinations.at(connection.key);
  connection.phase = Connection::Phase::kConnecting;
  connection.offset = 0;
  int descriptor = -1;
  int error = VELTCPConnect(destination.address, destination.port, connection.block.size > kOneSegmentBytes,
                            &descriptor);
  // Where the handshake is over by now (a peer on this host), the block goes at once and the loop is only
  // asked for the receiver's close. An error found here is reported from the loop, like any other.
  bool established = false;
  if (error == 0) {
    ssize_t sent = VELTCPSend(descriptor, connection.block.bytes.get(), connection.block.size);
    if (sent > 0) {
      established = true;
      connection.offset = static_cast<size_t>(sent);
      connection.phase = connection.offset == connection.block.size ? Connection::Phase::kDraining
                                                                    : Connection::Phase::kWriting;
    } else if (sent < 0 && sent != -EAGAIN && sent != -ENOTCONN) {
      error = static_cast<int>(-sent);
    }
  }
  // Receivers close in the order the blocks were sent: a block that is out whole behind others is only
  // watched once it is the oldest, and meanwhile its close is often there already when looked for.
  bool draining = connection.phase == Connection::Phase::kDraining;
  bool oldest = destination.inFlight.front() == connection.id;
  connection.descriptor = descriptor;
  if (error == 0 && (!draining || oldest) && !Watch(connection)) {
    error = EBUSY;
  }
  if (error != 0) {
    VELTCPClose(descriptor);
    connection.descriptor = -1;
    // Reported from the loop, so that Enqueue never calls back and failures never recurse.
    connection.phase = Connection::Phase::kConnecting;
    connection.offset = 0;
    connection.startError = error;
    SetTimer(connection,
             IsFinal(error) ? 0 : std::min(connection.retryMs, MsUntil(connection.connectDeadline)));
    return;
  }
  SetTimer(connection, established ? _limits.deliveryDeadlineMs
                                   : std::min(connection.retryMs, MsUntil(connection.connectDeadline)));
}

void VELTCPSender::OnTimer(uint64_t id) {
  auto found = _connections.find(id);
  if (found == _connections.end()) {
    return;
  }
  Connection& connection = *found->second;
  connection.timerId = 0;
  int error = connection.startError;
  connection.startError = 0;
  if (connection.phase != Connection::Phase::kConnecting) {
    // Connected, but the receiver did not take the block in time.
    Finish(connection, false, Failure::kTimedOut, false);
    return;
  }
  if (error == ECONNREFUSED) {
    Finish(connection, false, Failure::kRefused, false);
    return;
  }
  if (IsFinal(error)) {
    Finish(connection, false, Failure::kUnreachable, false);
    return;
  }
  if (Clock::now() >= connection.connectDeadline) {
    MarkDead(connection.key);
    Finish(connection, false, Failure::kTimedOut, true);
    return;
  }
  // Unanswered (or out of descriptors): a fresh handshake rather than the kernel's slow retransmission.
  Close(connection);
  connection.retryMs *= 2;
  Connect(connection);
}

void VELTCPSender::OnReady(uint64_t id, bool readable, bool writable, bool error) {
  auto found = _connections.find(id);
  if (found == _connections.end()) {
    return;
  }
  Connection& connection = *found->second;
  if (connection.phase == Connection::Phase::kConnecting) {
    int pending = VELTCPConnectResult(connection.descriptor);
    if (pending == ECONNREFUSED) {
      Finish(connection, false, Failure::kRefused, false);
      return;
    }
    if (pending != 0) {
      connection.startError = pending;
      SetTimer(connection, std::min(connection.retryMs, MsUntil(connection.connectDeadline)));
      _application->ModifyWatch(connection.descriptor, false, false);
      return;
    }
    connection.phase = Connection::Phase::kWriting;
    SetTimer(connection, _limits.deliveryDeadlineMs);
    Write(connection);
    return;
  }
  if (connection.phase == Connection::Phase::kWriting && (writable || error)) {
    Write(connection);
  } else if (connection.phase == Connection::Phase::kDraining && (readable || error)) {
    Drain(connection);
  }
}

void VELTCPSender::Write(Connection& connection) {
  const Block& block = connection.block;
  while (connection.offset < block.size) {
    ssize_t sent = VELTCPSend(connection.descriptor, block.bytes.get() + connection.offset,
                              block.size - connection.offset);
    if (sent < 0) {
      if (sent == -EAGAIN) {
        _application->ModifyWatch(connection.descriptor, false, true);
        return;
      }
      Finish(connection, false, Failure::kReset, false);
      return;
    }
    connection.offset += static_cast<size_t>(sent);
  }
  // Whole: the receiver's close says it has read it all.
  connection.phase = Connection::Phase::kDraining;
  _application->ModifyWatch(connection.descriptor, true, false);
  Destination& destination = *_destinations.at(connection.key);
  if (!destination.waiting) {
    Pump(destination);
  }
}

void VELTCPSender::Drain(Connection& connection) {
  char scratch[256];
  for (;;) {
    ssize_t received = VELTCPReceive(connection.descriptor, scratch, sizeof(scratch));
    if (received > 0) {
      continue;  // the receiver sends nothing; ignore it rather than reset it
    }
    if (received == 0) {
      Finish(connection, true, Failure::kReset, false);
    } else if (received != -EAGAIN) {
      Finish(connection, false, Failure::kReset, false);
    }
    return;
  }
}

void VELTCPSender::Account(Destination& destination, const Block& block, std::vector<void*>& tags) {
  tags.push_back(block.tag);
  LaneState& state = StateOf(LaneOf(block));
  --state.blocks;
  state.bytes -= block.size;
  --destination.blocks[block.lane];
  destination.bytes[block.lane] -= block.size;
}

void VELTCPSender::Finish(Connection& connection, bool delivered, Failure reason, bool wholeQueue) {
  Destination& destination = *_destinations.at(connection.key);
  Outcomes outcomes;
  outcomes.reason = reason;
  std::vector<void*>& tags = delivered ? outcomes.delivered : outcomes.failed;
  Account(destination, connection.block, tags);
  --StateOf(LaneOf(connection.block)).open;
  if (wholeQueue) {
    for (const Block& block : destination.queue) {
      Account(destination, block, tags);
    }
    destination.queue.clear();
  }
  Close(connection);
  _application->CancelTimer(connection.timerId);
  uint64_t id = connection.id;
  destination.inFlight.erase(std::find(destination.inFlight.begin(), destination.inFlight.end(), id));
  _connections.erase(id);
  uint32_t address = destination.address;
  unsigned short port = destination.port;
  Settled(destination.key, outcomes);
  if (!_collecting) {
    _collecting = true;
    Collect(address, port);
    _collecting = false;
  }
}

void VELTCPSender::Settled(Key key, Outcomes& outcomes) {
  auto found = _destinations.find(key);
  if (found != _destinations.end()) {
    Destination& destination = *found->second;
    if (destination.queue.empty() && destination.inFlight.empty() && destination.link == 0) {
      if (destination.waiting) {
        std::deque<Key>& waiting = StateOf(destination.waitingLane).waiting;
        waiting.erase(std::find(waiting.begin(), waiting.end(), key));
      }
      _destinations.erase(found);
    } else if (!destination.waiting && !destination.queue.empty() &&
               !StateOf(LaneOf(destination.queue.front())).waiting.empty()) {
      // Others wait for a connection of that lane: this destination queues behind them.
      Wait(destination, LaneOf(destination.queue.front()));
    } else if (!destination.waiting) {
      Pump(destination);
    }
  }
  Serve();
  // Large blocks are built in memory kept for the next ones; once nothing is on its way for a while, it goes
  // back to the system.
  if (Pending() == 0 && _quietTimer == 0) {
    _quietTimer = _application->AddTimer(kQuietMs, [this]() {
      _quietTimer = 0;
      if (Pending() == 0) {
        VELReleaseKeptBlockBytes();
      }
    });
  }
  uint32_t address = static_cast<uint32_t>(key >> 16);
  unsigned short port = static_cast<unsigned short>(key & 0xFFFF);
  for (void* tag : outcomes.delivered) {
    if (_onDelivered) {
      _onDelivered(tag);
    }
  }
  for (void* tag : outcomes.failed) {
    if (_onFailure) {
      _onFailure(address, port, outcomes.reason, tag);
    }
  }
}

bool VELTCPSender::Watch(Connection& connection) {
  uint64_t id = connection.id;
  bool draining = connection.phase == Connection::Phase::kDraining;
  connection.watched =
      _application->AddWatch(connection.descriptor, draining, !draining,
                             [this, id](int, bool r, bool w, bool e) { OnReady(id, r, w, e); }) == 0;
  return connection.watched;
}

void VELTCPSender::Close(Connection& connection) {
  if (connection.watched) {
    _application->RemoveWatch(connection.descriptor);
    connection.watched = false;
  }
  VELTCPClose(connection.descriptor);
  connection.descriptor = -1;
}

void VELTCPSender::Collect(uint32_t address, unsigned short port) {
  // The oldest connection of the destination may now be one that nobody watches: it is finished if its
  // receiver closed already, and watched otherwise.
  for (;;) {
    auto found = _destinations.find((static_cast<Key>(address) << 16) | port);
    if (found == _destinations.end() || found->second->inFlight.empty()) {
      return;
    }
    Connection& oldest = *_connections.at(found->second->inFlight.front());
    if (oldest.watched || oldest.phase != Connection::Phase::kDraining) {
      return;
    }
    char scratch[256];
    ssize_t received;
    do {
      received = VELTCPReceive(oldest.descriptor, scratch, sizeof(scratch));
    } while (received > 0);
    if (received == 0) {
      Finish(oldest, true, Failure::kReset, false);
    } else if (received != -EAGAIN) {
      Finish(oldest, false, Failure::kReset, false);
    } else if (!Watch(oldest)) {
      Finish(oldest, false, Failure::kReset, false);
    }
  }
}

int VELTCPSender::ConnectionLimit(Lane lane) const {
  return lane == Lane::kApplication ? _limits.connections : _limits.automaticConnections;
}

void VELTCPSender::Wait(Destination& destination, Lane lane) {
  destination.waiting = true;
  destination.waitingLane = lane;
  StateOf(lane).waiting.push_back(destination.key);
}

void VELTCPSender::Serve() {
  for (Lane lane : {Lane::kApplication, Lane::kAutomatic}) {
    LaneState& state = StateOf(lane);
    // A stream that went idle since the waiter queued gives up its room now, not when its idle time ends.
    while (!state.waiting.empty() && (state.open < ConnectionLimit(lane) || CloseIdleLink(lane))) {
      Key next = state.waiting.front();
      state.waiting.pop_front();
      auto waiting = _destinations.find(next);
      if (waiting != _destinations.end()) {
        waiting->second->waiting = false;
        Pump(*waiting->second);
      }
    }
  }
}
