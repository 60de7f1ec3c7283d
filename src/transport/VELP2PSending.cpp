#include "transport/VELP2PSending.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "velp2p/VELApplication.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELP2PSending.h"

namespace {

constexpr auto kOrphanLifetime = std::chrono::seconds(30);
constexpr int kSweepMs = 100;

}  // namespace

VELP2PSending& VELP2PSending::Instance() {
  static VELP2PSending instance;
  return instance;
}

VELP2PSending::~VELP2PSending() {
  // At exit the loop may be gone already.
  for (Orphan& orphan : _orphans)
    orphan.sender->Abandon();
}

void VELP2PSending::Track(VELTCPSender* sender) {
  _live.push_back(sender);
}

void VELP2PSending::Release(std::unique_ptr<VELTCPSender> sender) {
  _live.erase(std::remove(_live.begin(), _live.end(), sender.get()), _live.end());
  if (!sender)
    return;
  VELApplication* application = VELApplication::MainApplication();
  if (application != sender->GetApplication()) {
    sender->Abandon();  // its loop is gone
    return;
  }
  if (sender->Pending() == 0)
    return;
  sender->SetDeliveredCallback(nullptr);
  sender->SetFailureCallback([](uint32_t address, unsigned short port, VELTCPSender::Failure reason, void*) {
    uint8_t bytes[4];
    std::memcpy(bytes, &address, 4);
    VELDiagnosticPrintf("a block queued before the disconnection did not reach %u.%u.%u.%u:%u: %s\n",
                        bytes[0], bytes[1], bytes[2], bytes[3], port, VELTCPSender::FailureText(reason));
  });
  _orphans.push_back(
      Orphan{std::move(sender), application, std::chrono::steady_clock::now() + kOrphanLifetime});
  // A sweep pending on a loop that was destroyed since would never come: one is started on this loop in
  // any case (timer numbers are unique in the process, so cancelling a dead loop's one does nothing).
  application->CancelTimer(_sweepTimer);
  _sweepApplication = application;
  _sweepTimer = application->AddTimer(kSweepMs, [this]() { Sweep(); });
}

void VELP2PSending::Forget(std::vector<Orphan>::iterator orphan) {
  // A sender whose loop is gone cannot unregister from it.
  if (orphan->application != VELApplication::MainApplication())
    orphan->sender->Abandon();
}

void VELP2PSending::Sweep() {
  _sweepTimer = 0;
  auto now = std::chrono::steady_clock::now();
  for (auto orphan = _orphans.begin(); orphan != _orphans.end();) {
    if (orphan->application != VELApplication::MainApplication() || orphan->sender->Pending() == 0) {
      Forget(orphan);
      orphan = _orphans.erase(orphan);
    } else if (orphan->deadline <= now) {
      VELDiagnosticPrintf("%d blocks queued before the disconnection were dropped undelivered\n",
                          orphan->sender->Pending());
      orphan = _orphans.erase(orphan);
    } else {
      ++orphan;
    }
  }
  if (!_orphans.empty() && _sweepApplication)
    _sweepTimer = _sweepApplication->AddTimer(kSweepMs, [this]() { Sweep(); });
}

int VELP2PSending::Pending() const {
  int pending = 0;
  for (const VELTCPSender* sender : _live)
    pending += sender->Pending();
  for (const Orphan& orphan : _orphans) {
    if (orphan.application == VELApplication::MainApplication())
      pending += orphan.sender->Pending();
  }
  return pending;
}

int VELP2PPendingSends() {
  return VELP2PSending::Instance().Pending();
}
