#include "transport/VELP2PSending.h"

#include <algorithm>
#include <cstring>

#include "velp2p/VELApplication.h"

namespace {

constexpr int kReleasedLifetimeMs = 30000;

}  // namespace

// A released sender, owned by the loop it runs on.
class VELP2PSending::Released {
 public:
  // The sender's loop must be alive.
  Released(std::unique_ptr<VELTCPSender> sender, VELDiagnosticSink diagnostics)
      : _sender(std::move(sender)), _diagnostics(std::move(diagnostics)) {
    _sender->SetDeliveredCallback([this](void*) { DropWhenDone(); });
    _sender->SetFailureCallback([this](uint32_t address, unsigned short port, VELTCPSender::Failure reason,
                                       void*) {
      uint8_t bytes[4];
      std::memcpy(bytes, &address, 4);
      VELDiagnosticPrintf(_diagnostics,
                          "a block queued before the disconnection did not reach %u.%u.%u.%u:%u: %s\n",
                          bytes[0], bytes[1], bytes[2], bytes[3], port, VELTCPSender::FailureText(reason));
      DropWhenDone();
    });
    _deadline = _sender->Loop().Get()->AddTimer(kReleasedLifetimeMs, [this]() {
      _deadline = 0;
      VELDiagnosticPrintf(_diagnostics,
                          "%d blocks queued before the disconnection were dropped undelivered\n",
                          _sender->Pending());
      _sender->Loop().Drop(this);
    });
  }
  ~Released() {
    if (VELApplication* loop = _sender->Loop().Get())
      loop->CancelTimer(_deadline);
  }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;

  const VELLoopLink& Loop() const { return _sender->Loop(); }
  int Pending() const { return _sender->Pending(); }

 private:
  // Called back from the sender, which must not be destroyed under its own feet: the loop destroys it
  // once the turn ends.
  void DropWhenDone() {
    if (_sender->Pending() == 0)
      _sender->Loop().Drop(this);
  }

  std::unique_ptr<VELTCPSender> _sender;
  VELDiagnosticSink _diagnostics;
  int _deadline = 0;  // timer that gives up on the queue
};

void VELP2PSending::Track(VELTCPSender* sender) {
  _live.push_back(sender);
}

void VELP2PSending::Release(std::unique_ptr<VELTCPSender> sender) {
  _live.erase(std::remove(_live.begin(), _live.end(), sender.get()), _live.end());
  // Without blocks, or once its loop is gone, it has nothing left to do.
  if (!sender || sender->Pending() == 0 || sender->Loop().Get() == nullptr)
    return;
  auto released = std::make_shared<Released>(std::move(sender), _diagnostics);
  if (!released->Loop().Adopt(released))
    return;
  _released.erase(std::remove_if(_released.begin(), _released.end(),
                                 [](const std::weak_ptr<Released>& held) { return held.expired(); }),
                  _released.end());
  _released.push_back(released);
}

VELP2PSending::Automatic::Automatic(VELP2PSending& sending, bool automatic)
    : _sending(sending), _outer(sending._automatic) {
  sending._automatic = automatic;
}

VELP2PSending::Automatic::~Automatic() {
  _sending._automatic = _outer;
}

int VELP2PSending::Pending() const {
  int pending = 0;
  for (const VELTCPSender* sender : _live)
    pending += sender->Pending();
  for (const std::weak_ptr<Released>& held : _released) {
    if (std::shared_ptr<Released> released = held.lock())
      pending += released->Pending();
  }
  return pending;
}
