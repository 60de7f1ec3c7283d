#include "host/VELSocketConnector.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "host/VELSockets.h"
#include "host/VELSystemCalls.h"
#include "velp2p/VELApplication.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bytes read from one connection per turn, so that a fast sender of a large block shares the loop.
constexpr size_t kReadBudgetPerTurn = 1 << 20;
// The first read takes the length prefix and, for most blocks, the whole block with it.
constexpr size_t kFirstReadBytes = 1024;
// Growth step of a block's buffer when it cannot be sized at once; it then never grows beyond what has
// arrived by more than this or its size.
constexpr size_t kGrowthBytes = 64 << 10;
// A connection that brought nothing for this long may give its place to a new one when all are taken;
// a busier one is not cut (closing it with unread bytes would reset it), accepting waits instead.
constexpr auto kStalledAfter = std::chrono::milliseconds(250);
// Pause before accepting again once the process ran out of descriptors.
constexpr int kDescriptorShortageMs = 100;
// Quiet time after which the buffers kept for the next blocks are given back.
constexpr int kQuietMs = 1000;
// Kept back from the bytes blocks in progress read freely: a block closest to completion can always finish,
// whatever the first kilobytes of new connections took meanwhile.
constexpr size_t kKeptBackBytes =
    VELSockets::kMaxBlockBytes + VELSocketConnector::kMaxInProgress * kFirstReadBytes;

// The largest listen backlog the system grants; the kernel cuts larger requests down to it anyway.
int SystemBacklog() {
  int backlog = SOMAXCONN;
  if (FILE* file = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
    int value = 0;
    if (std::fscanf(file, "%d", &value) == 1 && value > backlog) {
      backlog = value;
    }
    std::fclose(file);
  }
  return backlog;
}

}  // namespace

struct VELSocketConnector::Incoming {
  int descriptor;
  uint32_t source;  // address of the sending host
  // Starts with room for the first read, then holds the block as it arrives. Not initialised: only the
  // received bytes are ever read.
  VELBlockBytes block;
  size_t capacity = 0;     // bytes of block
  size_t received = 0;     // bytes of block filled
  uint32_t declared = 0;   // total length from the prefix; 0 until the prefix is complete
  size_t sizedAtOnce = 0;  // capacity counted against kMaxSizedAtOnceBytes
  bool paused = false;     // read interest off: no room for its bytes, or behind a paused one from its host
  bool finishing = false;  // counted at its declared length and read to its end whatever the bound
  int timerId = 0;
  Clock::time_point accepted;
  Clock::time_point lastActivity;  // last bytes read, or the end of a pause

  size_t Counted() const { return finishing ? declared : received; }
  size_t Remaining() const { return declared - received; }
  // How long it has brought nothing while it was read: a paused connection is not idle, we are.
  Clock::duration QuietFor(Clock::time_point now) const {
    return paused ? Clock::duration::zero() : now - lastActivity;
  }
};

VELSocketConnector::VELSocketConnector(unsigned short port, int a, int /*b*/)
    : _port(port),
      _backlog(std::max(a, SystemBacklog())),
      _listenDescriptor(-1),
      _readyRead(-1),
      _readyWrite(-1),
      _application(nullptr),
      _acceptPaused(false),
      _resumeTimerId(0),
      _stallTimerId(0),
      _idleTimeout(kIdleTimeoutMs),
      _lifetime(kLifetimeMs),
      _discarded(0) {}

VELSocketConnector::~VELSocketConnector() {
  // An application destroyed before us took our callbacks with it.
  bool registered = _loop.Get() != nullptr;
  if (registered && _listenDescriptor >= 0) {
    _application->RemoveWatch(_listenDescriptor);
    _application->CancelTimer(_resumeTimerId);
    _application->CancelTimer(_stallTimerId);
    _application->CancelTimer(_quietTimerId);
  }
  for (auto& incoming : _inProgress) {
    if (registered) {
      _application->RemoveWatch(incoming->descriptor);
      _application->CancelTimer(incoming->timerId);
    }
    VELSys(close(incoming->descriptor));
  }
  for (int descriptor : {_listenDescriptor, _readyRead, _readyWrite}) {
    if (descriptor >= 0) {
      VELSys(close(descriptor));
    }
  }
}

void VELSocketConnector::SetTimeouts(int idleMs, int lifetimeMs) {
  _idleTimeout = std::chrono::milliseconds(idleMs);
  _lifetime = std::chrono::milliseconds(lifetimeMs);
}

int VELSocketConnector::Declare(const char* address, VELApplication* loop) {
  if (_listenDescriptor >= 0) {
    return EISCONN;
  }
  sockaddr_in local;
  std::memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_port = htons(_port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (address != nullptr && inet_pton(AF_INET, address, &local.sin_addr) != 1) {
    return EINVAL;
  }
  int descriptor = VELSys(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (descriptor < 0) {
    return errno;
  }
  int ends[2] = {-1, -1};
  auto fail = [&]() {
    int error = errno != 0 ? errno : EIO;
    VELSys(close(descriptor));
    for (int end : ends) {
      if (end >= 0) {
        VELSys(close(end));
      }
    }
    return error;
  };
  // The receiving side closes first and so holds TIME_WAIT; without this a restarted peer could not
  // listen on its port again for a while.
  int on = 1;
  // Room for the largest block from the start: a new connection's window would otherwise begin small and
  // close several times during a large block, and the sender's probes at each close retransmit its tail.
  // The kernel takes it as a ceiling, not an allocation.
  int room = VELSockets::kMaxBlockBytes;
  VELSys(setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room)));
  if (VELSys(setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on))) != 0 ||
      VELSys(bind(descriptor, reinterpret_cast<sockaddr*>(&local), sizeof(local))) != 0 ||
      VELSys(listen(descriptor, _backlog)) != 0) {
    return fail();
  }
  socklen_t length = sizeof(local);
  if (VELSys(getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length)) != 0 ||
      VELSys(pipe(ends)) != 0) {
    return fail();
  }
  for (int end : ends) {
    if (VELSys(fcntl(end, F_SETFD, FD_CLOEXEC)) != 0 ||
        VELSys(fcntl(end, F_SETFL, VELSys(fcntl(end, F_GETFL)) | O_NONBLOCK)) != 0) {
      return fail();
    }
  }
  VELApplication* application = loop;
  if (application != nullptr && application->AddWatch(descriptor, true, false, [this](int, bool, bool, bool) {
        OnListenReady();
      }) != 0) {
    errno = EBUSY;
    return fail();
  }
  _listenDescriptor = descriptor;
  _readyRead = ends[0];
  _readyWrite = ends[1];
  _application = application;
  _loop = VELLoopLink(application);
  _port = ntohs(local.sin_port);
  return 0;
}

void VELSocketConnector::OnListenReady() {
  // Everything pending: a connection left in the backlog waits a whole turn, and a full backlog drops
  // handshakes that the sender then has to repeat.
  while (!_acceptPaused) {
    if (static_cast<int>(_inProgress.size()) >= kMaxInProgress) {
      auto quiet = _inProgress.front()->QuietFor(Clock::now());
      if (quiet < kStalledAfter) {
        // Looked at again when the oldest would count as stalled, unless it moves before.
        _application->CancelTimer(_stallTimerId);
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(kStalledAfter - quiet);
        _stallTimerId = _application->AddTimer(static_cast<int>(wait.count()), [this]() {
          _stallTimerId = 0;
          UpdateAcceptWatch();
        });
        UpdateAcceptWatch();
        return;
      }
      // The oldest is stalled; a flood of silent clients then cannot lock out peers. Only for a
      // connection that is really waiting, though.
      pollfd pending{_listenDescriptor, POLLIN, 0};
      if (VELSys(poll(&pending, 1, 0)) <= 0) {
        return;
      }
      Drop(_inProgress.front().get());
    }
    sockaddr_in from;
    socklen_t fromLength = sizeof(from);
    std::memset(&from, 0, sizeof(from));
    int descriptor = VELSys(accept4(_listenDescriptor, reinterpret_cast<sockaddr*>(&from), &fromLength,
                                    SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (descriptor < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The waiting connection stays in the backlog and would make every turn ready; try again later.
        _resumeTimerId = _application->AddTimer(kDescriptorShortageMs, [this]() {
          _resumeTimerId = 0;
          UpdateAcceptWatch();
        });
        UpdateAcceptWatch();
      }
      return;
    }
    auto incoming = std::make_unique<Incoming>();
    Incoming* raw = incoming.get();
    raw->descriptor = descriptor;
    raw->source = from.sin_addr.s_addr;
    raw->accepted = raw->lastActivity = Clock::now();
    TakeEarlier(raw->source);
    bool behind = std::any_of(_inProgress.begin(), _inProgress.end(), [raw](const auto& earlier) {
      return earlier->source == raw->source && earlier->paused;
    });
    _inProgress.push_back(std::move(incoming));
    // The block is often there already (a peer writes as soon as it is connected): it is then taken
    // without ever registering the connection with the loop.
    Progress progress = behind ? Progress::kPaused : ReadCounted(*raw);
    if (progress == Progress::kFailed) {
      Drop(raw);
      continue;
    }
    if (progress == Progress::kComplete) {
      Complete(raw);
      continue;
    }
    if (_application->AddWatch(descriptor, progress == Progress::kMore, false,
                               [this, raw](int, bool, bool, bool) { OnIncomingReady(raw); }) != 0) {
      Drop(raw);
      continue;
    }
    raw->timerId = _application->AddTimer(static_cast<int>(_idleTimeout.count()),
                                          [this, raw]() { OnIncomingTimer(raw); });
    if (progress == Progress::kPaused) {
      Pause(raw);
    }
  }
}

void VELSocketConnector::TakeEarlier(uint32_t source) {
  // A host sending several blocks opens the next connection only once the previous block has gone out
  // whole, so the bytes of an earlier connection from that host are here before the later one is
  // accepted; reading them first hands the blocks over in the order they were sent, whatever order the
  // loop reports the descriptors in.
  std::vector<Incoming*> earlier;
  for (auto& incoming : _inProgress) {
    if (incoming->source == source) {
      earlier.push_back(incoming.get());
    }
  }
  for (Incoming* incoming : earlier) {
    OnIncomingReady(incoming);
  }
}

VELSocketConnector::Progress VELSocketConnector::ReadCounted(Incoming& incoming) {
  size_t room = SIZE_MAX;
  if (!incoming.finishing) {
    size_t readFreely = _maxHeld > kKeptBackBytes ? _maxHeld - kKeptBackBytes : 0;
    room = _held < readFreely ? readFreely - _held : 0;
  }
  size_t before = incoming.Counted();
  Progress progress = ReadSome(incoming, room);
  _held = _held - before + incoming.Counted();
  return progress;
}

VELSocketConnector::Progress VELSocketConnector::ReadSome(Incoming& incoming, size_t room) {
  size_t budget = kReadBudgetPerTurn;
  while (budget > 0) {
    size_t firstLeft = incoming.received < kFirstReadBytes ? kFirstReadBytes - incoming.received : 0;
    size_t allowed = room > SIZE_MAX - firstLeft ? SIZE_MAX : room + firstLeft;
    if (incoming.declared != 0 && allowed == 0) {
      return Progress::kPaused;
    }
    if (incoming.received == incoming.capacity && !Grow(incoming)) {
      return Progress::kFailed;
    }
    size_t wanted = incoming.capacity - incoming.received;
    if (incoming.declared != 0) {
      wanted = std::min({wanted, budget, allowed});
    }
    ssize_t count = VELSys(recv(incoming.descriptor, incoming.block.get() + incoming.received, wanted, 0));
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return (errno == EAGAIN || errno == EWOULDBLOCK) ? Progress::kMore : Progress::kFailed;
    }
    if (count == 0) {
      return Progress::kFailed;  // closed before the block was whole
    }
    incoming.received += static_cast<size_t>(count);
    incoming.lastActivity = Clock::now();
    budget -= std::min(budget, static_cast<size_t>(count));
    room -= std::min(room, static_cast<size_t>(count) - std::min(firstLeft, static_cast<size_t>(count)));
    if (incoming.declared == 0 && incoming.received >= 4) {
      uint32_t prefix;
      std::memcpy(&prefix, incoming.block.get(), sizeof(prefix));
      prefix = ntohl(prefix);
      if (prefix < 4 || prefix > static_cast<uint32_t>(VELSockets::kMaxBlockBytes)) {
        return Progress::kFailed;
      }
      incoming.declared = prefix;
      // Bytes past the block belong to nobody.
      incoming.received = std::min<size_t>(incoming.received, prefix);
      incoming.capacity = std::min<size_t>(incoming.capacity, prefix);
    }
    if (incoming.declared != 0 && incoming.received == incoming.declared) {
      return Progress::kComplete;
    }
  }
  return Progress::kMore;
}

bool VELSocketConnector::Grow(Incoming& incoming) {
  size_t size = kFirstReadBytes;
  bool atOnce = false;
  if (incoming.capacity > 0) {
    // A block that filled its first read is sized at once while the bound allows: every step of growth
    // would otherwise copy it again into fresh memory.
    atOnce = _sizedAtOnce + incoming.declared <= kMaxSizedAtOnceBytes;
    size = atOnce ? incoming.declared
                  : std::min<size_t>(std::max(incoming.capacity * 2, incoming.capacity + kGrowthBytes),
                                     incoming.declared);
  }
  VELBlockBytes grown = VELNewBlockBytes(size);
  if (!grown) {
    return false;
  }
  if (incoming.received > 0) {
    std::memcpy(grown.get(), incoming.block.get(), incoming.received);
  }
  incoming.block = std::move(grown);
  incoming.capacity = size;
  if (atOnce) {
    incoming.sizedAtOnce = size;
    _sizedAtOnce += size;
  }
  return true;
}

void VELSocketConnector::OnIncomingReady(Incoming* incoming) {
  if (incoming->paused) {
    return;  // an earlier connection of its host being taken, or a hang-up in the turn that paused it
  }
  switch (ReadCounted(*incoming)) {
    case Progress::kMore:
      break;
    case Progress::kComplete:
      Complete(incoming);
      break;
    case Progress::kFailed:
      Drop(incoming);
      break;
    case Progress::kPaused:
      Pause(incoming);
      break;
  }
}

void VELSocketConnector::OnIncomingTimer(Incoming* incoming) {
  Clock::time_point now = Clock::now();
  auto idle = incoming->QuietFor(now);
  auto age = now - incoming->accepted;
  if (idle >= _idleTimeout || age >= _lifetime) {
    Drop(incoming);
    return;
  }
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min(_idleTimeout - idle, _lifetime - age));
  incoming->timerId = _application->AddTimer(static_cast<int>(wait.count()),
                                             [this, incoming]() { OnIncomingTimer(incoming); });
}

void VELSocketConnector::Pause(Incoming* incoming) {
  if (!incoming->paused) {
    incoming->paused = true;
    ++_paused;
    _application->ModifyWatch(incoming->descriptor, false, false);
  }
  ResumeWaiting();
}

void VELSocketConnector::Resume(Incoming* incoming, bool finishing) {
  if (finishing && !incoming->finishing) {
    _held += incoming->Remaining();
    incoming->finishing = true;
  }
  incoming->paused = false;
  --_paused;
  incoming->lastActivity = Clock::now();
  _application->ModifyWatch(incoming->descriptor, true, false);
}

void VELSocketConnector::ResumeWaiting() {
  if (_paused == 0 || _application == nullptr) {
    return;
  }
  // Only the oldest connection in progress from each host may go on, the others wait behind it.
  std::vector<uint32_t> hosts;
  std::vector<Incoming*> waiting;
  for (auto& entry : _inProgress) {
    Incoming* incoming = entry.get();
    bool oldest = std::find(hosts.begin(), hosts.end(), incoming->source) == hosts.end();
    if (oldest) {
      hosts.push_back(incoming->source);
    }
    if (!incoming->paused || !oldest) {
      continue;
    }
    if (incoming->declared == 0) {
      Resume(incoming, false);  // unread yet: it goes on with its first kilobyte, which the bound leaves it
    } else {
      waiting.push_back(incoming);
    }
  }
  std::stable_sort(waiting.begin(), waiting.end(),
                   [](const Incoming* a, const Incoming* b) { return a->Remaining() < b->Remaining(); });
  for (Incoming* incoming : waiting) {
    if (_held + incoming->Remaining() > _maxHeld) {
      break;
    }
    Resume(incoming, true);
  }
}

void VELSocketConnector::Complete(Incoming* incoming) {
  VELBlockBytes block = std::move(incoming->block);
  int size = static_cast<int>(incoming->declared);
  uint32_t source = incoming->source;
  // Counted as ready before it stops counting in progress: the room it leaves is not there.
  PushReady(std::move(block), size, source);
  Forget(incoming);
}

void VELSocketConnector::Drop(Incoming* incoming) {
  ++_discarded;
  Forget(incoming);
}

void VELSocketConnector::Forget(Incoming* incoming) {
  // Unregistered before closing, so that a descriptor number reused later in this turn is not mistaken
  // for this one; the loop skips both callbacks for the rest of the turn. A connection whose block was
  // whole at once was never registered.
  if (incoming->timerId != 0) {
    _application->RemoveWatch(incoming->descriptor);
    _application->CancelTimer(incoming->timerId);
  }
  VELSys(close(incoming->descriptor));
  _sizedAtOnce -= incoming->sizedAtOnce;
  _held -= incoming->Counted();
  if (incoming->paused) {
    --_paused;
  }
  auto found =
      std::find_if(_inProgress.begin(), _inProgress.end(),
                   [incoming](const std::unique_ptr<Incoming>& entry) { return entry.get() == incoming; });
  if (found != _inProgress.end()) {
    _inProgress.erase(found);
  }
  UpdateAcceptWatch();
  ResumeWaiting();
  WatchQuiet();
}

void VELSocketConnector::PushReady(VELBlockBytes block, int size, uint32_t source) {
  _held += static_cast<size_t>(size);
  _ready.push_back(Ready{std::move(block), size, source});
  if (_ready.size() == 1) {
    ssize_t ignored = VELSys(write(_readyWrite, "r", 1));
    (void)ignored;
  }
  UpdateAcceptWatch();
}

void VELSocketConnector::UpdateAcceptWatch() {
  if (_loop.Get() == nullptr) {
    return;
  }
  bool accept = static_cast<int>(_ready.size()) < kMaxReady && _resumeTimerId == 0 &&
                (static_cast<int>(_inProgress.size()) < kMaxInProgress ||
                 _inProgress.front()->QuietFor(Clock::now()) >= kStalledAfter);
  if (accept == !_acceptPaused) {
    return;
  }
  _acceptPaused = !accept;
  _application->ModifyWatch(_listenDescriptor, accept, false);
}

void VELSocketConnector::WatchQuiet() {
  if (_application == nullptr || _quietTimerId != 0 || !_inProgress.empty() || !_ready.empty()) {
    return;
  }
  _quietTimerId = _application->AddTimer(kQuietMs, [this]() {
    _quietTimerId = 0;
    if (_inProgress.empty() && _ready.empty()) {
      VELReleaseKeptBlockBytes();
    }
  });
}

int VELSocketConnector::Accept(VELSockets** socket) {
  if (socket == nullptr) {
    return EINVAL;
  }
  *socket = nullptr;
  if (_listenDescriptor < 0) {
    return ENOTCONN;
  }
  VELBlockBytes block;
  int size = 0;
  uint32_t source = 0;
  if (_application == nullptr) {
    int result = AcceptSynchronously(&block, &size, &source);
    if (result != 0) {
      return result;
    }
  } else {
    if (_ready.empty()) {
      return EAGAIN;
    }
    block = std::move(_ready.front().block);
    size = _ready.front().size;
    source = _ready.front().source;
    _ready.pop_front();
    _held -= static_cast<size_t>(size);
    if (_ready.empty()) {
      char drain[16];
      while (VELSys(read(_readyRead, drain, sizeof(drain))) > 0) {
      }
    }
    UpdateAcceptWatch();
    ResumeWaiting();
    WatchQuiet();
  }
  auto accepted = std::make_unique<VELSockets>();
  accepted->SetReceivedBlock(std::move(block), size, source);
  *socket = accepted.release();
  return 0;
}

int VELSocketConnector::AcceptSynchronously(VELBlockBytes* block, int* size, uint32_t* source) {
  sockaddr_in from;
  socklen_t fromLength = sizeof(from);
  std::memset(&from, 0, sizeof(from));
  int descriptor = VELSys(accept4(_listenDescriptor, reinterpret_cast<sockaddr*>(&from), &fromLength,
                                  SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (descriptor < 0) {
    return errno;
  }
  *source = from.sin_addr.s_addr;
  Incoming incoming;
  incoming.descriptor = descriptor;
  Clock::time_point deadline = Clock::now() + _idleTimeout;
  int result = ETIMEDOUT;
  for (;;) {
    Progress progress = ReadSome(incoming, SIZE_MAX);
    if (progress == Progress::kComplete) {
      *block = std::move(incoming.block);
      *size = static_cast<int>(incoming.declared);
      result = 0;
      break;
    }
    if (progress == Progress::kFailed) {
      result = EPROTO;
      break;
    }
    auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) {
      break;
    }
    pollfd entry{descriptor, POLLIN, 0};
    if (VELSys(poll(&entry, 1, static_cast<int>(remaining))) < 0 && errno != EINTR) {
      result = errno;
      break;
    }
  }
  VELSys(close(descriptor));
  _sizedAtOnce -= incoming.sizedAtOnce;
  if (result != 0) {
    ++_discarded;
  }
  return result;
}
