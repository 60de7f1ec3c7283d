#include "transport/VELSocketConnector.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "host/VELSockets.h"
#include "velp2p/VELApplication.h"

namespace {

using Clock = std::chrono::steady_clock;

// The first read takes the length prefix and, for most blocks, the whole block with it.
constexpr size_t kFirstReadBytes = VELTCPIncoming::kFirstReadBytes;
// What a stream reads its short blocks into, a turn's worth of them at a time.
constexpr size_t kScratchBytes = 64 << 10;
// A stream's acknowledgements wait for the end of the turn, which takes many blocks under load, or go at once
// after this many blocks or bytes, so that they cost the sender neither a wake-up per block nor the room of
// its queue. Waiting longer would leave blocks taken but unacknowledged, which a receiver that dies then
// makes its sender report as failed.
constexpr uint32_t kAckEveryBlocks = 64;
constexpr size_t kAckEveryBytes = 1 << 20;
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

VELSocketConnector::VELSocketConnector(unsigned short port, int a, int /*b*/)
    : _port(port),
      _backlog(std::max(a, SystemBacklog())),
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
    _application->CancelTimer(_ackTimerId);
  }
  for (auto& incoming : _inProgress) {
    if (registered && incoming->watched) {
      _application->RemoveWatch(incoming->descriptor);
      _application->CancelTimer(incoming->timerId);
    }
    VELTCPClose(incoming->descriptor);
  }
  // Streams between blocks tell their senders that nothing more was taken, so that those send it again.
  for (auto& incoming : _streamList) {
    if (registered && incoming->watched) {
      _application->RemoveWatch(incoming->descriptor);
      _application->CancelTimer(incoming->timerId);
    }
    VELTCPClose(incoming->descriptor, incoming->Received() != 0 || !incoming->Acknowledge(true));
  }
  _inProgress.clear();
  _streamList.clear();
  VELTCPClose(_listenDescriptor);
  VELCloseSignalPipe(&_readySignal);
}

void VELSocketConnector::SetTimeouts(int idleMs, int lifetimeMs) {
  _idleTimeout = std::chrono::milliseconds(idleMs);
  _lifetime = std::chrono::milliseconds(lifetimeMs);
}

void VELSocketConnector::SetStreamBounds(int total, int perHost, int idleMs) {
  _maxStreams = total;
  _maxStreamsPerHost = perHost;
  _streamIdle = std::chrono::milliseconds(idleMs);
}

int VELSocketConnector::Declare(const char* address, VELApplication* loop) {
  if (_listenDescriptor >= 0) {
    return EISCONN;
  }
  // Room for the largest block from the start: a new connection's window would otherwise begin small and
  // close several times during a large block, and the sender's probes at each close retransmit its tail.
  // The kernel takes it as a ceiling, not an allocation. The address is reused: the receiving side of a
  // connection that carried one block closes first and so holds TIME_WAIT, and without it a restarted peer
  // could not listen on its port again for a while.
  int descriptor = -1;
  unsigned short bound = 0;
  int error = VELTCPListen(address, _port, _backlog, VELSockets::kMaxBlockBytes, &descriptor, &bound);
  if (error != 0) {
    return error;
  }
  VELSignalPipe signal;
  error = VELOpenSignalPipe(&signal);
  VELApplication* application = loop;
  if (error == 0 && application != nullptr &&
      application->AddWatch(descriptor, true, false, [this](int, bool, bool, bool) { OnListenReady(); }) !=
          0) {
    error = EBUSY;
  }
  if (error != 0) {
    VELTCPClose(descriptor);
    VELCloseSignalPipe(&signal);
    return error;
  }
  _listenDescriptor = descriptor;
  _readySignal = signal;
  _application = application;
  _loop = VELLoopLink(application);
  _port = bound;
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
      if (!VELTCPConnectionWaiting(_listenDescriptor)) {
        return;
      }
      Drop(_inProgress.front().get());
    }
    int descriptor = -1;
    uint32_t source = 0;
    int error = VELTCPAccept(_listenDescriptor, &descriptor, &source);
    if (error != 0) {
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        // The waiting connection stays in the backlog and would make every turn ready; try again later.
        _resumeTimerId = _application->AddTimer(kDescriptorShortageMs, [this]() {
          _resumeTimerId = 0;
          UpdateAcceptWatch();
        });
        UpdateAcceptWatch();
      }
      return;
    }
    auto incoming = std::make_unique<Incoming>(descriptor, source, Clock::now());
    Incoming* raw = incoming.get();
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
    if (_application->AddWatch(descriptor, progress != Progress::kPaused, false,
                               [this, raw](int, bool, bool, bool) { OnIncomingReady(raw); }) != 0) {
      Drop(raw);
      continue;
    }
    raw->watched = true;
    ArmTimer(raw, _idleTimeout);
    if (progress == Progress::kPaused) {
      Pause(raw);
    } else if (progress == Progress::kHello) {
      Stream(raw);
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

size_t VELSocketConnector::Room() const {
  size_t readFreely = _maxHeld > kKeptBackBytes ? _maxHeld - kKeptBackBytes : 0;
  return _held < readFreely ? readFreely - _held : 0;
}

VELSocketConnector::Progress VELSocketConnector::ReadCounted(Incoming& incoming) {
  size_t before = incoming.Counted();
  Progress progress = incoming.ReadOne(incoming.finishing ? SIZE_MAX : Room(), _sizedAtOnce,
                                       _streams && _application != nullptr);
  _held = _held - before + incoming.Counted();
  return progress;
}

void VELSocketConnector::OnIncomingReady(Incoming* incoming) {
  if (incoming->paused) {
    return;  // an earlier connection of its host being taken, or a hang-up in the turn that paused it
  }
  if (incoming->IsStream()) {
    OnStreamReady(incoming);
    return;
  }
  switch (ReadCounted(*incoming)) {
    case Progress::kMore:
    case Progress::kEnded:
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
    case Progress::kHello:
      Stream(incoming);
      break;
  }
}

void VELSocketConnector::OnStreamReady(Incoming* incoming) {
  if (!_scratch) {
    _scratch.reset(new char[kScratchBytes]);
  }
  size_t room = Room();
  _held -= incoming->Counted();
  Progress progress = incoming->ReadStream(
      room, _scratch.get(), kScratchBytes,
      [this, incoming](VELBlockBytes block, int size) { Taken(incoming, std::move(block), size); });
  _held += incoming->Counted();
  switch (progress) {
    case Progress::kMore:
    case Progress::kComplete:
    case Progress::kHello:
      break;
    case Progress::kPaused:
      Pause(incoming);
      break;
    case Progress::kFailed:
      Drop(incoming);
      return;
    case Progress::kEnded:
      // The sender closed between blocks, having all it sent acknowledged: nothing is lost.
      Forget(incoming);
      return;
  }
  if (incoming->Unacknowledged() >= kAckEveryBlocks || incoming->unacknowledgedBytes >= kAckEveryBytes) {
    incoming->Acknowledge();
  } else if (incoming->Unacknowledged() > 0 && !_acksPending && _ackTimerId == 0) {
    std::weak_ptr<char> life = _life;
    _acksPending = _application->DeferToTurnEnd([this, life]() {
      if (!life.expired()) {
        _acksPending = false;
        AcknowledgeStreams();
      }
    });
    if (!_acksPending) {
      _ackTimerId = _application->AddTimer(0, [this]() {
        _ackTimerId = 0;
        AcknowledgeStreams();
      });
    }
  }
}

void VELSocketConnector::AcknowledgeStreams() {
  for (auto& stream : _streamList) {
    stream->Acknowledge();
  }
}

void VELSocketConnector::Taken(Incoming* incoming, VELBlockBytes block, int size) {
  // Counted at its whole length from here on, as ready.
  incoming->finishing = false;
  ++incoming->taken;
  incoming->unacknowledgedBytes += static_cast<size_t>(size);
  PushReady(std::move(block), size, incoming->source);
}

void VELSocketConnector::Stream(Incoming* incoming) {
  uint32_t source = incoming->source;
  int fromHost = 0;
  for (auto& stream : _streamList) {
    fromHost += stream->source == source ? 1 : 0;
  }
  bool placed = true;
  if (fromHost >= _maxStreamsPerHost || static_cast<int>(_streamList.size()) >= _maxStreams) {
    Incoming* quietest = Quietest(source, fromHost < _maxStreamsPerHost);
    if (quietest != nullptr) {
      Retire(quietest);
    } else {
      placed = false;
    }
  }
  // The hello of a version we do not speak, or no place: the sender learns that nothing was taken.
  if (!placed || incoming->Opening() != VELTCPOpening::kHello) {
    ++_discarded;
    Forget(incoming, !incoming->Acknowledge(true));
    return;
  }
  auto found =
      std::find_if(_inProgress.begin(), _inProgress.end(),
                   [incoming](const std::unique_ptr<Incoming>& entry) { return entry.get() == incoming; });
  _streamList.push_back(std::move(*found));
  _inProgress.erase(found);
  _held -= incoming->Counted();
  bool taken = incoming->Stream(
      &_sizedAtOnce, VELSockets::kMaxBlockBytes,
      [this, incoming](VELBlockBytes block, int size) { Taken(incoming, std::move(block), size); });
  _held += incoming->Counted();
  if (!taken) {
    Drop(incoming);
    return;
  }
  UpdateAcceptWatch();
  OnStreamReady(incoming);
}

VELSocketConnector::Incoming* VELSocketConnector::Quietest(uint32_t source, bool anyHost) {
  Incoming* quietest = nullptr;
  for (auto& stream : _streamList) {
    if ((!anyHost && stream->source != source) || stream->Received() != 0 || stream->paused) {
      continue;
    }
    if (quietest == nullptr || stream->lastActivity < quietest->lastActivity) {
      quietest = stream.get();
    }
  }
  return quietest;
}

void VELSocketConnector::Retire(Incoming* incoming) {
  Forget(incoming, incoming->Received() != 0 || !incoming->Acknowledge(true));
}

void VELSocketConnector::ArmTimer(Incoming* incoming, std::chrono::nanoseconds wait) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait);
  incoming->timerId = _application->AddTimer(static_cast<int>(std::max<int64_t>(ms.count(), 0)),
                                             [this, incoming]() { OnIncomingTimer(incoming); });
}

void VELSocketConnector::OnIncomingTimer(Incoming* incoming) {
  Clock::time_point now = Clock::now();
  auto idle = incoming->QuietFor(now);
  if (incoming->IsStream() && incoming->Received() == 0) {
    // Between blocks: silence is allowed, up to a point.
    if (idle >= _streamIdle) {
      Retire(incoming);
      return;
    }
    ArmTimer(incoming, _streamIdle - idle);
    return;
  }
  // A block under way: the timeouts of a block of its own connection, its lifetime from its first bytes.
  auto age = now - (incoming->IsStream() ? incoming->blockSince : incoming->accepted);
  if (idle >= _idleTimeout || age >= _lifetime) {
    Drop(incoming);
    return;
  }
  ArmTimer(incoming, std::min(_idleTimeout - idle, _lifetime - age));
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
  // Only the oldest connection in progress from each host may go on, the others wait behind it; a stream
  // waits for nobody.
  std::vector<uint32_t> hosts;
  std::vector<Incoming*> waiting;
  auto consider = [&](Incoming* incoming, bool oldest) {
    if (!incoming->paused || !oldest) {
      return;
    }
    if (incoming->Declared() == 0) {
      Resume(incoming, false);  // unread yet: it goes on with its first kilobyte, which the bound leaves it
    } else {
      waiting.push_back(incoming);
    }
  };
  for (auto& entry : _inProgress) {
    bool oldest = std::find(hosts.begin(), hosts.end(), entry->source) == hosts.end();
    if (oldest) {
      hosts.push_back(entry->source);
    }
    consider(entry.get(), oldest);
  }
  for (auto& entry : _streamList) {
    consider(entry.get(), true);
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
  int size = static_cast<int>(incoming->Declared());
  // Counted as ready before it stops counting in progress: the room it leaves is not there.
  PushReady(incoming->TakeBlock(), size, incoming->source);
  Forget(incoming);
}

void VELSocketConnector::Drop(Incoming* incoming) {
  ++_discarded;
  Forget(incoming, incoming->IsStream());
}

void VELSocketConnector::Forget(Incoming* incoming, bool abort) {
  // Unregistered before closing, so that a descriptor number reused later in this turn is not mistaken
  // for this one; the loop skips both callbacks for the rest of the turn. A connection whose block was
  // whole at once was never registered.
  if (incoming->watched) {
    _application->RemoveWatch(incoming->descriptor);
    _application->CancelTimer(incoming->timerId);
  }
  VELTCPClose(incoming->descriptor, abort);
  _sizedAtOnce.used -= incoming->SizedAtOnce();
  _held -= incoming->Counted();
  if (incoming->paused) {
    --_paused;
  }
  auto same = [incoming](const std::unique_ptr<Incoming>& entry) { return entry.get() == incoming; };
  auto found = std::find_if(_inProgress.begin(), _inProgress.end(), same);
  if (found != _inProgress.end()) {
    _inProgress.erase(found);
  } else {
    _streamList.erase(std::remove_if(_streamList.begin(), _streamList.end(), same), _streamList.end());
  }
  UpdateAcceptWatch();
  ResumeWaiting();
  WatchQuiet();
}

void VELSocketConnector::PushReady(VELBlockBytes block, int size, uint32_t source) {
  _held += static_cast<size_t>(size);
  _ready.push_back(Ready{std::move(block), size, source});
  // Handed on once the turn ends, when someone takes them; otherwise through the descriptor.
  if (!_handOffPending && _onReady && _application != nullptr) {
    std::weak_ptr<char> life = _life;
    _handOffPending = _application->DeferToTurnEnd([this, life]() {
      if (life.expired()) {
        return;
      }
      _handOffPending = false;
      _onReady();  // may destroy this connector: nothing after it
    });
  }
  if (!_handOffPending && !_signalRaised) {
    _signalRaised = true;
    VELRaiseSignal(_readySignal);
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

bool VELSocketConnector::Busy() const {
  return !_inProgress.empty() || !_ready.empty() ||
         std::any_of(_streamList.begin(), _streamList.end(),
                     [](const std::unique_ptr<Incoming>& stream) { return stream->Received() != 0; });
}

void VELSocketConnector::WatchQuiet() {
  if (_application == nullptr || _quietTimerId != 0 || Busy()) {
    return;
  }
  _quietTimerId = _application->AddTimer(kQuietMs, [this]() {
    _quietTimerId = 0;
    if (!Busy()) {
      VELReleaseKeptBlockBytes();
    }
  });
}

int VELSocketConnector::TakeBlock(VELBlockBytes* block, int* size, uint32_t* source) {
  if (_ready.empty()) {
    return EAGAIN;
  }
  *block = std::move(_ready.front().block);
  *size = _ready.front().size;
  *source = _ready.front().source;
  _ready.pop_front();
  _held -= static_cast<size_t>(*size);
  if (_ready.empty() && _signalRaised) {
    _signalRaised = false;
    VELLowerSignal(_readySignal);
  }
  UpdateAcceptWatch();
  ResumeWaiting();
  WatchQuiet();
  return 0;
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
  int result = _application == nullptr ? AcceptSynchronously(&block, &size, &source)
                                       : TakeBlock(&block, &size, &source);
  if (result != 0) {
    return result;
  }
  auto accepted = std::make_unique<VELSockets>();
  accepted->SetReceivedBlock(std::move(block), size, source);
  *socket = accepted.release();
  return 0;
}

int VELSocketConnector::AcceptSynchronously(VELBlockBytes* block, int* size, uint32_t* source) {
  int descriptor = -1;
  int result = VELTCPAccept(_listenDescriptor, &descriptor, source);
  if (result != 0) {
    return result;
  }
  Incoming incoming(descriptor, *source, Clock::now());
  Clock::time_point deadline = Clock::now() + _idleTimeout;
  result = ETIMEDOUT;
  for (;;) {
    Progress progress = incoming.ReadOne(SIZE_MAX, _sizedAtOnce, false);
    if (progress == Progress::kComplete) {
      *size = static_cast<int>(incoming.Declared());
      *block = incoming.TakeBlock();
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
    int waited = VELWaitReadable(descriptor, static_cast<int>(remaining));
    if (waited != 0 && waited != ETIMEDOUT) {
      result = waited;
      break;
    }
  }
  VELTCPClose(descriptor);
  _sizedAtOnce.used -= incoming.SizedAtOnce();
  if (result != 0) {
    ++_discarded;
  }
  return result;
}
