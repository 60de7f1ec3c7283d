#include "host/VELTCPSender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/VELSockets.h"
#include "velp2p/VELApplication.h"

namespace {

using Clock = std::chrono::steady_clock;

// Errors that no retry would mend.
bool IsFinal(int error) {
  return error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH || error == EINVAL ||
         error == EACCES || error == EPERM || error == EADDRNOTAVAIL || error == EAFNOSUPPORT;
}

int MsUntil(Clock::time_point deadline) {
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return remaining > 0 ? static_cast<int>(remaining) : 0;
}

}  // namespace

struct VELTCPSender::Destination {
  struct Block {
    std::vector<char> bytes;
    void* tag;
  };
  enum class Phase { kIdle, kWaitingSlot, kConnecting, kWriting, kDraining };

  Key key;
  uint32_t address;
  unsigned short port;
  std::deque<Block> queue;  // the front one is in flight
  size_t bytes = 0;
  Phase phase = Phase::kIdle;
  bool hasSlot = false;
  int descriptor = -1;
  size_t offset = 0;   // of the front block, written so far
  int timerId = 0;     // the one pending deadline or retry
  int startError = 0;  // a connect that failed at once, reported from the timer
  int retryMs = 0;
  Clock::time_point connectDeadline;
};

VELTCPSender::VELTCPSender(VELApplication* application) : VELTCPSender(application, Limits()) {}

VELTCPSender::VELTCPSender(VELApplication* application, const Limits& limits)
    : _application(application), _limits(limits) {}

VELTCPSender::~VELTCPSender() {
  for (auto& entry : _destinations) {
    CloseConnection(*entry.second);
  }
}

int VELTCPSender::Enqueue(uint32_t addressNetworkOrder, unsigned short port, std::vector<char>&& block,
                          void* tag) {
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
  Key key = (static_cast<Key>(addressNetworkOrder) << 16) | port;
  if (IsDead(key)) {
    return EHOSTDOWN;
  }
  auto found = _destinations.find(key);
  Destination* destination = found == _destinations.end() ? nullptr : found->second.get();
  size_t queuedBlocks = destination ? destination->queue.size() : 0;
  size_t queuedBytes = destination ? destination->bytes : 0;
  if (_blocks >= _limits.blocksTotal || _bytes + block.size() > _limits.bytesTotal ||
      static_cast<int>(queuedBlocks) >= _limits.blocksPerDestination ||
      queuedBytes + block.size() > _limits.bytesPerDestination) {
    return ENOBUFS;
  }
  if (destination == nullptr) {
    auto created = std::make_unique<Destination>();
    created->key = key;
    created->address = addressNetworkOrder;
    created->port = port;
    destination = created.get();
    _destinations[key] = std::move(created);
  }
  ++_blocks;
  _bytes += block.size();
  destination->bytes += block.size();
  destination->queue.push_back(Destination::Block{std::move(block), tag});
  Start(*destination);
  return 0;
}

int VELTCPSender::Pending(uint32_t addressNetworkOrder, unsigned short port) const {
  auto found = _destinations.find((static_cast<Key>(addressNetworkOrder) << 16) | port);
  return found == _destinations.end() ? 0 : static_cast<int>(found->second->queue.size());
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

void VELTCPSender::Start(Destination& destination) {
  if (destination.phase != Destination::Phase::kIdle || destination.queue.empty()) {
    return;
  }
  if (_connections >= _limits.connections) {
    destination.phase = Destination::Phase::kWaitingSlot;
    _waiting.push_back(destination.key);
    return;
  }
  ++_connections;
  destination.hasSlot = true;
  destination.retryMs = _limits.firstRetryMs;
  destination.connectDeadline = Clock::now() + std::chrono::milliseconds(_limits.connectDeadlineMs);
  Connect(destination);
}

void VELTCPSender::SetTimer(Destination& destination, int delayMs) {
  _application->CancelTimer(destination.timerId);
  Key key = destination.key;
  destination.timerId = _application->AddTimer(delayMs, [this, key]() { OnTimer(key); });
}

void VELTCPSender::Connect(Destination& destination) {
  destination.phase = Destination::Phase::kConnecting;
  destination.offset = 0;
  int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int error = descriptor < 0 ? errno : 0;
  if (descriptor >= 0) {
    // The block goes out in one write; nothing is gained by holding back its last segment.
    int on = 1;
    setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    sockaddr_in remote;
    std::memset(&remote, 0, sizeof(remote));
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = destination.address;
    remote.sin_port = htons(destination.port);
    if (connect(descriptor, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0 &&
        errno != EINPROGRESS) {
      error = errno;
    }
  }
  Key key = destination.key;
  if (error == 0 && _application->AddWatch(descriptor, false, true, [this, key](int, bool r, bool w, bool e) {
        OnReady(key, r, w, e);
      }) != 0) {
    error = EBUSY;
  }
  if (error != 0) {
    if (descriptor >= 0) {
      close(descriptor);
    }
    // Reported from the loop, so that Enqueue never calls back and failures never recurse.
    destination.startError = error;
    SetTimer(destination,
             IsFinal(error) ? 0 : std::min(destination.retryMs, MsUntil(destination.connectDeadline)));
    return;
  }
  destination.descriptor = descriptor;
  SetTimer(destination, std::min(destination.retryMs, MsUntil(destination.connectDeadline)));
}

void VELTCPSender::OnTimer(Key key) {
  auto found = _destinations.find(key);
  if (found == _destinations.end()) {
    return;
  }
  Destination& destination = *found->second;
  destination.timerId = 0;
  int error = destination.startError;
  destination.startError = 0;
  if (destination.phase != Destination::Phase::kConnecting) {
    // Connected, but the receiver did not take the block in time.
    Finish(destination, false, Failure::kTimedOut, false);
    return;
  }
  if (error == ECONNREFUSED) {
    Finish(destination, false, Failure::kRefused, false);
    return;
  }
  if (IsFinal(error)) {
    Finish(destination, false, Failure::kUnreachable, false);
    return;
  }
  if (Clock::now() >= destination.connectDeadline) {
    _deadUntil[key] = Clock::now() + std::chrono::milliseconds(_limits.deadForMs);
    if (_deadUntil.size() > 1024) {
      for (auto it = _deadUntil.begin(); it != _deadUntil.end();) {
        it = it->second <= Clock::now() ? _deadUntil.erase(it) : std::next(it);
      }
    }
    Finish(destination, false, Failure::kTimedOut, true);
    return;
  }
  // Unanswered (or out of descriptors): a fresh handshake rather than the kernel's slow retransmission.
  if (destination.descriptor >= 0) {
    _application->RemoveWatch(destination.descriptor);
    close(destination.descriptor);
    destination.descriptor = -1;
  }
  destination.retryMs *= 2;
  Connect(destination);
}

void VELTCPSender::OnReady(Key key, bool readable, bool writable, bool error) {
  auto found = _destinations.find(key);
  if (found == _destinations.end()) {
    return;
  }
  Destination& destination = *found->second;
  if (destination.phase == Destination::Phase::kConnecting) {
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (getsockopt(destination.descriptor, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
      pending = errno;
    }
    if (pending == ECONNREFUSED) {
      Finish(destination, false, Failure::kRefused, false);
      return;
    }
    if (pending != 0) {
      destination.startError = pending;
      SetTimer(destination, std::min(destination.retryMs, MsUntil(destination.connectDeadline)));
      _application->ModifyWatch(destination.descriptor, false, false);
      return;
    }
    destination.phase = Destination::Phase::kWriting;
    SetTimer(destination, _limits.deliveryDeadlineMs);
    Write(destination);
    return;
  }
  if (destination.phase == Destination::Phase::kWriting && (writable || error)) {
    Write(destination);
  } else if (destination.phase == Destination::Phase::kDraining && (readable || error)) {
    Drain(destination);
  }
}

void VELTCPSender::Write(Destination& destination) {
  const std::vector<char>& bytes = destination.queue.front().bytes;
  while (destination.offset < bytes.size()) {
    ssize_t sent = send(destination.descriptor, bytes.data() + destination.offset,
                        bytes.size() - destination.offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        _application->ModifyWatch(destination.descriptor, false, true);
        return;
      }
      Finish(destination, false, Failure::kReset, false);
      return;
    }
    destination.offset += static_cast<size_t>(sent);
  }
  // Whole: the receiver's close says it has read it all, and lets the next block go.
  destination.phase = Destination::Phase::kDraining;
  _application->ModifyWatch(destination.descriptor, true, false);
}

void VELTCPSender::Drain(Destination& destination) {
  char scratch[256];
  for (;;) {
    ssize_t received = recv(destination.descriptor, scratch, sizeof(scratch), MSG_DONTWAIT);
    if (received > 0) {
      continue;  // the receiver sends nothing; ignore it rather than reset it
    }
    if (received == 0) {
      Finish(destination, true, Failure::kReset, false);
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      Finish(destination, false, Failure::kReset, false);
    }
    return;
  }
}

void VELTCPSender::CloseConnection(Destination& destination) {
  if (destination.descriptor >= 0) {
    _application->RemoveWatch(destination.descriptor);
    close(destination.descriptor);
    destination.descriptor = -1;
  }
  _application->CancelTimer(destination.timerId);
  destination.timerId = 0;
  if (destination.hasSlot) {
    destination.hasSlot = false;
    --_connections;
  }
  destination.phase = Destination::Phase::kIdle;
}

void VELTCPSender::Finish(Destination& destination, bool delivered, Failure reason, bool wholeQueue) {
  std::vector<void*> finished;
  do {
    const Destination::Block& block = destination.queue.front();
    --_blocks;
    _bytes -= block.bytes.size();
    destination.bytes -= block.bytes.size();
    finished.push_back(block.tag);
    destination.queue.pop_front();
  } while (wholeQueue && !destination.queue.empty());
  CloseConnection(destination);
  uint32_t address = destination.address;
  unsigned short port = destination.port;
  Settle(destination.key);  // may free the destination
  for (void* tag : finished) {
    if (delivered && _onDelivered) {
      _onDelivered(tag);
    } else if (!delivered && _onFailure) {
      _onFailure(address, port, reason, tag);
    }
  }
}

void VELTCPSender::Settle(Key key) {
  auto found = _destinations.find(key);
  if (found != _destinations.end()) {
    Destination& destination = *found->second;
    if (destination.queue.empty()) {
      _destinations.erase(found);
    } else if (!_waiting.empty()) {
      // Others wait for a connection: this destination queues behind them.
      destination.phase = Destination::Phase::kWaitingSlot;
      _waiting.push_back(key);
    } else {
      Start(destination);
    }
  }
  while (_connections < _limits.connections && !_waiting.empty()) {
    Key next = _waiting.front();
    _waiting.pop_front();
    auto waiting = _destinations.find(next);
    if (waiting != _destinations.end() && waiting->second->phase == Destination::Phase::kWaitingSlot) {
      waiting->second->phase = Destination::Phase::kIdle;
      Start(*waiting->second);
    }
  }
}
