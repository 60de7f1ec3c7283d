#include "capi/VELP2PCNode.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "core/VELP2PNode.h"
#include "core/VELP2POptions.h"
#include "host/VELLastError.h"
#include "transport/VELP2PSending.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELNotification.h"
#include "velp2p/VELP2PPeer.h"

namespace {

constexpr int kDefaultLingerMs = 1000;
constexpr int kMaxLingerMs = 60000;
constexpr long kMaxQueue = 1000000;

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
    : _lingerMs(kDefaultLingerMs),
      _queue(VELP2P_QUEUE_DEFAULT, VELP2P_QUEUE_BYTES),
      _subscription(nullptr),
      _watched(-1) {
  VELApplication* loop = VELApplication::MainApplication();
  if (!loop) {
    // A loop of its own, which never becomes the main application: each such node runs apart.
    _ownedLoop = std::make_unique<VELApplication>(false);
    loop = _ownedLoop.get();
  }
  _loop = VELLoopLink(loop);
  _node = std::make_unique<VELP2PNode>(loop);
  // Subscribed before any start, whose own notifications are the first events.
  _subscription = AddCallback(nullptr, _node->Peer().GetP2PPublisher(), "VELP2PNotif",
                              [this](VELNotification* notification) { Queue(notification); });
  _watched = loop->GetDescriptor();
  _queue.Ready().Watch(_watched);
}

VELP2PCNode::~VELP2PCNode() {
  VELP2PPeer& peer = _node->Peer();
  if (peer.Connected())
    (void)peer.Disconnect();
  RemoveCallback(_subscription);
  // Messages queued before the departure still leave, for a while.
  const std::shared_ptr<VELP2PSending> sending = _node->Sending();
  if (VELApplication* loop = _loop.Get())
    loop->RunUntil([&sending] { return sending->Pending() == 0; }, _lingerMs);
  _node.reset();
  _life.reset();
  _queue.Ready().Unwatch(_watched);
}

VELApplication* VELP2PCNode::Loop() {
  VELApplication* loop = _loop.Get();
  if (!loop)
    VELFail(VELP2P_ERROR_FAILED, "the main application the node ran on is gone");
  return loop;
}

VELResult VELP2PCNode::Set(const std::string& option, const std::string& value) {
  if (_node->Peer().Connected())
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
  if (_node->Peer().Connected())
    return VELFail(VELP2P_ERROR_ALREADY_STARTED);
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
    options.diagnostics = [this, life = std::weak_ptr<char>(_life)](const std::string& text) {
      if (!life.expired())
        _queue.Push(VELP2PCEvent::Diagnostic(text));
    };
  } else if (!_diagnostics.empty()) {
    FILE* stream = _diagnostics == "stderr" ? stderr : _diagnostics == "stdout" ? stdout : nullptr;
    options.diagnostics = [stream](const std::string& text) {
      if (stream) {
        std::fputs(text.c_str(), stream);
        std::fflush(stream);
      }
    };
  }
  if (VEL_FAILED(_node->Peer().Start(options)))
    return VEL_E_FAIL;
  const VELUnicodeString* name = _node->Peer().GetPeerName();
  _name = name ? name->Str() : std::string();
  return VEL_S_OK;
}

VELP2PPeer* VELP2PCNode::Peer() {
  if (!_node->Peer().Connected()) {
    VELFail(VELP2P_ERROR_NOT_CONNECTED);
    return nullptr;
  }
  return &_node->Peer();
}

void VELP2PCNode::Queue(VELNotification* notification) {
  _queue.Push(VELP2PCEvent::FromNotification(notification));
}

int VELP2PCNode::TimeoutMs() const {
  VELApplication* loop = _loop.Get();
  return _queue.Empty() && loop ? loop->GetTimeoutMs() : 0;
}

int VELP2PCNode::Process() {
  VELApplication* loop = Loop();
  if (!loop || loop->ProcessReady() < 0)
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
    VELApplication* loop = Loop();
    if (!loop)
      return nullptr;
    int waitMs = -1;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      waitMs = left > 0 ? static_cast<int>(left) : 0;
    }
    if (loop->RunOnce(waitMs) < 0) {
      VELFail(VELP2P_ERROR_FAILED, "the loop could not wait");
      return nullptr;
    }
    if (timeoutMs >= 0 && Clock::now() >= deadline && _queue.Empty())
      return nullptr;
  }
}
