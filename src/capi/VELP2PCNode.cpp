#include "capi/VELP2PCNode.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "core/VELP2POptions.h"
#include "host/VELLastError.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELNotification.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PSending.h"

namespace {

constexpr int kDefaultLingerMs = 1000;
constexpr int kMaxLingerMs = 60000;
constexpr long kMaxQueue = 1000000;

// The node holding the process's peer, null when none does.
VELP2PCNode* g_holder = nullptr;
// The loop the C interface made for nodes that found none; it lives while one of them does.
std::weak_ptr<VELApplication> g_loop;

// A whole decimal number from minimum to maximum.
bool ParseCount(const std::string& text, long minimum, long maximum, long& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::atol(text.c_str());
  return value >= minimum && value <= maximum;
}

VELResult BadValue(const std::string& option, const std::string& value, const char* expected) {
  return VELFail(VELP2P_ERROR_BAD_OPTION, option + " \"" + value + "\" is not " + expected);
}

}  // namespace

VELP2PCNode::VELP2PCNode()
    : _loop(VELApplication::MainApplication()),
      _lingerMs(kDefaultLingerMs),
      _queue(VELP2P_QUEUE_DEFAULT, VELP2P_QUEUE_BYTES),
      _peer(nullptr),
      _subscription(nullptr) {
  if (!_loop) {
    // The process has no loop: the node makes one, which becomes the process's main application, as the
    // endpoints need, and which the nodes made after it share.
    _ownedLoop = std::make_shared<VELApplication>();
    g_loop = _ownedLoop;
    _loop = _ownedLoop.get();
  } else if (std::shared_ptr<VELApplication> shared = g_loop.lock(); shared.get() == _loop) {
    _ownedLoop = std::move(shared);
  }
  _queue.Ready().Watch(_loop->GetDescriptor());
}

VELP2PCNode::~VELP2PCNode() {
  Leave();
  _queue.Ready().Unwatch(_loop->GetDescriptor());
}

VELResult VELP2PCNode::Set(const std::string& option, const std::string& value) {
  if (_peer)
    return VELFail(VELP2P_ERROR_ALREADY_STARTED, "options are set before the start");
  long number = 0;
  if (option == "diagnostics") {
    if (value != "off" && value != "stderr" && value != "stdout" && value != "events")
      return BadValue(option, value, "\"off\", \"stderr\", \"stdout\" or \"events\"");
    _diagnostics = value;
  } else if (option == "queue") {
    if (!ParseCount(value, 1, kMaxQueue, number))
      return BadValue(option, value, "a number of events from 1 to 1000000");
    _queue.SetMaxEvents(static_cast<size_t>(number));
  } else if (option == "linger") {
    if (!ParseCount(value, 0, kMaxLingerMs, number))
      return BadValue(option, value, "a number of milliseconds from 0 to 60000");
    _lingerMs = static_cast<int>(number);
  } else {
    VELP2POptions scratch;
    if (VEL_FAILED(scratch.Set(option, value)))
      return VEL_E_FAIL;
    _settings.emplace_back(option, value);
  }
  return VEL_S_OK;
}

VELResult VELP2PCNode::Start() {
  if (_peer && VELP2PPeer::IsConnected())
    return VELFail(VELP2P_ERROR_ALREADY_STARTED);
  if (g_holder && g_holder != this)
    return VELFail(VELP2P_ERROR_BUSY, "another node of this process is started; a process has one node");
  if (!_peer && VELP2PPeer::IsConnected())
    return VELFail(VELP2P_ERROR_BUSY, "the process's peer was started through the C++ interface");

  // The environment gives the defaults for the mode chosen; what was set wins, in the order set.
  VELP2POptions::Mode mode = VELP2POptions::Mode::kCollaboration;
  for (const auto& [option, value] : _settings) {
    if (option == "mode")
      mode = value == "standard" ? VELP2POptions::Mode::kStandard : VELP2POptions::Mode::kCollaboration;
  }
  VELP2POptions options = VELP2POptions::FromEnvironment(mode);
  for (const auto& [option, value] : _settings)
    (void)options.Set(option, value);
  if (_diagnostics == "events") {
    options.diagnostics = [this](const std::string& text) { _queue.Push(VELP2PCEvent::Diagnostic(text)); };
  } else if (!_diagnostics.empty()) {
    FILE* stream = _diagnostics == "stderr" ? stderr : _diagnostics == "stdout" ? stdout : nullptr;
    options.diagnostics = [stream](const std::string& text) {
      if (stream) {
        std::fputs(text.c_str(), stream);
        std::fflush(stream);
      }
    };
  }

  const bool holding = _peer != nullptr;
  if (!holding) {
    _peer = VELP2PPeer::GetLocalPeer();
    if (!_peer)
      return VELFail(VELP2P_ERROR_OUT_OF_MEMORY);
    _peer->AddRef();
    g_holder = this;
    // Subscribed before the start, whose own notifications are the first events.
    _subscription = AddCallback(nullptr, _peer->GetP2PPublisher(), "VELP2PNotif",
                                [this](VELNotification* notification) { Queue(notification); });
  }
  if (VEL_FAILED(_peer->Start(options))) {
    if (!holding) {
      const VELLastErrorRecord reason = VELSaveLastError();
      Leave();
      VELRestoreLastError(reason);
    }
    return VEL_E_FAIL;
  }
  const VELUnicodeString* name = _peer->GetPeerName();
  _name = name ? name->Str() : std::string();
  return VEL_S_OK;
}

VELP2PPeer* VELP2PCNode::Peer() {
  if (!_peer || !VELP2PPeer::IsConnected()) {
    VELFail(VELP2P_ERROR_NOT_CONNECTED);
    return nullptr;
  }
  return _peer;
}

void VELP2PCNode::Queue(VELNotification* notification) {
  _queue.Push(VELP2PCEvent::FromNotification(notification));
}

void VELP2PCNode::Leave() {
  if (!_peer)
    return;
  if (VELP2PPeer::IsConnected())
    (void)_peer->Disconnect();
  RemoveCallback(_subscription);
  _subscription = nullptr;
  // Messages queued before the departure still leave, for a while.
  _loop->RunUntil([] { return VELP2PPendingSends() == 0; }, _lingerMs);
  if (!_diagnostics.empty())
    VELSetDiagnosticSink(nullptr);
  _peer->Release();
  _peer = nullptr;
  g_holder = nullptr;
}

int VELP2PCNode::TimeoutMs() const {
  return _queue.Empty() ? _loop->GetTimeoutMs() : 0;
}

int VELP2PCNode::Process() {
  if (_loop->ProcessReady() < 0)
    return -1;
  return static_cast<int>(_queue.Size());
}

std::unique_ptr<velp2p_event_t> VELP2PCNode::Receive(int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (!_queue.Empty())
      return _queue.Pop();
    if (!Peer())
      return nullptr;
    int waitMs = -1;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      waitMs = left > 0 ? static_cast<int>(left) : 0;
    }
    if (_loop->RunOnce(waitMs) < 0) {
      VELFail(VELP2P_ERROR_FAILED, "the loop could not wait");
      return nullptr;
    }
    if (timeoutMs >= 0 && Clock::now() >= deadline && _queue.Empty())
      return nullptr;
  }
}
