#include "host/VELTCPSender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/VELLocalAddress.h"
#include "host/VELSockets.h"
#include "host/VELSystemCalls.h"
#include "velp2p/VELApplication.h"

namespace {

using Clock = std::chrono::steady_clock;

// Errors that no retry would mend.
bool IsFinal(int error) {
  return error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH || error == EINVAL ||
         error == EACCES || error == EPERM || error == EADDRNOTAVAIL || error == EAFNOSUPPORT;
}

// A block larger than one segment would otherwise have its last, shorter segment held back until the
// receiver acknowledges the others, which it delays: the sender then retransmits, and the block waits.
// Smaller blocks leave in one segment, and need no extra call.
constexpr size_t kOneSegmentBytes = 1024;

// Blocks up to this size fit the first flight of segments of a new connection (ten of a typical LAN's).
constexpr size_t kPipelinedBytes = 8 << 10;

int MsUntil(Clock::time_point deadline) {
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return remaining > 0 ? static_cast<int>(remaining) : 0;
}

struct Block {
  std::vector<char> bytes;
  void* tag;
  VELTCPSender::Lane lane = VELTCPSender::Lane::kApplication;
};

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

struct VELTCPSender::Destination {
  Key key;
  uint32_t address;
  unsigned short port;
  std::deque<Block> queue;        // not yet given a connection
  std::deque<uint64_t> inFlight;  // connections, in the order they were opened
  int blocks[2] = {0, 0};         // queued and in flight, by lane
  size_t bytes[2] = {0, 0};
  int window = 1;        // connections it may have in flight
  bool waiting = false;  // in the waiting list of waitingLane
  VELTCPSender::Lane waitingLane = VELTCPSender::Lane::kApplication;
  bool pumping = false;  // in _toPump
};

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
    if (connection.descriptor >= 0) {
      VELSys(close(connection.descriptor));
    }
    if (withLoop) {
      _application->CancelTimer(connection.timerId);
    }
  }
  if (withLoop) {
    _application->CancelTimer(_pumpTimer);
  }
}

int VELTCPSender::Enqueue(uint32_t addressNetworkOrder, unsigned short port, std::vector<char>&& block,
                          void* tag, Lane lane) {
  if (block.size() < 4) {
    return EINVAL;
  }
  if (block.size() > static_cast<size_t>(VELSockets::kMaxBlockBytes)) {
    return EMSGSIZE;
  }
  uint32_t prefix;
  std::memcpy(&prefix, block.data(), sizeof(prefix));
  if (ntohl(prefix) != block.size()) {
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
  const bool full = lane == Lane::kApplication ? state.blocks >= _limits.blocksTotal ||
                                                     state.bytes + block.size() > _limits.bytesTotal ||
                                                     queuedBlocks >= _limits.blocksPerDestination ||
                                                     queuedBytes + block.size() > _limits.bytesPerDestination
                                               : state.blocks >= _limits.automaticBlocks ||
                                                     state.bytes + block.size() > _limits.automaticBytes ||
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
    destination = created.get();
    _destinations[key] = std::move(created);
  }
  ++state.blocks;
  state.bytes += block.size();
  ++destination->blocks[index];
  destination->bytes[index] += block.size();
  destination->queue.push_back(Block{std::move(block), tag, lane});
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

void VELTCPSender::Pump(Destination& destination) {
  while (!destination.queue.empty() && !destination.waiting &&
         static_cast<int>(destination.inFlight.size()) < destination.window) {
    // The receiver reads the connections of one host in the order it accepts them. The next connection is
    // therefore opened only once the previous block has gone out whole, and only when that block is small
    // enough to leave in the first flight of segments; a larger one must be taken before the next starts.
    if (!destination.inFlight.empty()) {
      const Connection& previous = *_connections.at(destination.inFlight.back());
      if (previous.phase != Connection::Phase::kDraining || previous.block.bytes.size() > kPipelinedBytes) {
        return;
      }
    }
    const Lane lane = destination.queue.front().lane;
    if (StateOf(lane).open >= ConnectionLimit(lane)) {
      Wait(destination, lane);
      return;
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
  }
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
  int descriptor = VELSys(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  int error = descriptor < 0 ? errno : 0;
  if (descriptor >= 0) {
    if (connection.block.bytes.size() > kOneSegmentBytes) {
      int on = 1;
      VELSys(setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)));
    }
    sockaddr_in remote;
    std::memset(&remote, 0, sizeof(remote));
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = destination.address;
    remote.sin_port = htons(destination.port);
    if (VELSys(connect(descriptor, reinterpret_cast<sockaddr*>(&remote), sizeof(remote))) != 0 &&
        errno != EINPROGRESS) {
      error = errno;
    }
  }
  // Where the handshake is over by now (a peer on this host), the block goes at once and the loop is only
  // asked for the receiver's close. An error found here is reported from the loop, like any other.
  bool established = false;
  if (error == 0) {
    ssize_t sent = VELSys(send(descriptor, connection.block.bytes.data(), connection.block.bytes.size(),
                               MSG_NOSIGNAL | MSG_DONTWAIT));
    if (sent > 0) {
      established = true;
      connection.offset = static_cast<size_t>(sent);
      connection.phase = connection.offset == connection.block.bytes.size() ? Connection::Phase::kDraining
                                                                            : Connection::Phase::kWriting;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ENOTCONN) {
      error = errno;
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
    if (descriptor >= 0) {
      VELSys(close(descriptor));
    }
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
    _deadUntil[connection.key] = Clock::now() + std::chrono::milliseconds(_limits.deadForMs);
    if (_deadUntil.size() > 1024) {
      for (auto it = _deadUntil.begin(); it != _deadUntil.end();) {
        it = it->second <= Clock::now() ? _deadUntil.erase(it) : std::next(it);
      }
    }
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
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (VELSys(getsockopt(connection.descriptor, SOL_SOCKET, SO_ERROR, &pending, &length)) != 0) {
      pending = errno;
    }
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
  const std::vector<char>& bytes = connection.block.bytes;
  while (connection.offset < bytes.size()) {
    ssize_t sent = VELSys(send(connection.descriptor, bytes.data() + connection.offset,
                               bytes.size() - connection.offset, MSG_NOSIGNAL | MSG_DONTWAIT));
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
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
    ssize_t received = VELSys(recv(connection.descriptor, scratch, sizeof(scratch), MSG_DONTWAIT));
    if (received > 0) {
      continue;  // the receiver sends nothing; ignore it rather than reset it
    }
    if (received == 0) {
      Finish(connection, true, Failure::kReset, false);
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      Finish(connection, false, Failure::kReset, false);
    }
    return;
  }
}

void VELTCPSender::Finish(Connection& connection, bool delivered, Failure reason, bool wholeQueue) {
  Destination& destination = *_destinations.at(connection.key);
  std::vector<void*> finished;
  auto account = [&](const Block& block) {
    finished.push_back(block.tag);
    LaneState& state = StateOf(block.lane);
    --state.blocks;
    state.bytes -= block.bytes.size();
    --destination.blocks[LaneIndex(block.lane)];
    destination.bytes[LaneIndex(block.lane)] -= block.bytes.size();
  };
  account(connection.block);
  --StateOf(connection.block.lane).open;
  if (wholeQueue) {
    for (const Block& block : destination.queue) {
      account(block);
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
  if (destination.queue.empty() && destination.inFlight.empty()) {
    if (destination.waiting) {
      std::deque<Key>& waiting = StateOf(destination.waitingLane).waiting;
      waiting.erase(std::find(waiting.begin(), waiting.end(), destination.key));
    }
    Key key = destination.key;
    _destinations.erase(key);
  } else if (!destination.waiting && !destination.queue.empty() &&
             !StateOf(destination.queue.front().lane).waiting.empty()) {
    // Others wait for a connection of that lane: this destination queues behind them.
    Wait(destination, destination.queue.front().lane);
  } else if (!destination.waiting) {
    Pump(destination);
  }
  Serve();
  for (void* tag : finished) {
    if (delivered && _onDelivered) {
      _onDelivered(tag);
    } else if (!delivered && _onFailure) {
      _onFailure(address, port, reason, tag);
    }
  }
  if (!_collecting) {
    _collecting = true;
    Collect(address, port);
    _collecting = false;
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
  if (connection.descriptor >= 0) {
    VELSys(close(connection.descriptor));
    connection.descriptor = -1;
  }
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
      received = VELSys(recv(oldest.descriptor, scratch, sizeof(scratch), MSG_DONTWAIT));
    } while (received > 0 || (received < 0 && errno == EINTR));
    if (received == 0) {
      Finish(oldest, true, Failure::kReset, false);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
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
    while (state.open < ConnectionLimit(lane) && !state.waiting.empty()) {
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
