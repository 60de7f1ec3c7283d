#include "core/VELP2PPresence.h"

#include <random>

#include "core/VELP2PAnnouncer.h"
#include "core/VELP2PLiveness.h"
#include "velp2p/VELApplication.h"

namespace {

VELP2PPresence* g_instance = nullptr;

}  // namespace

VELP2PPresence::VELP2PPresence(VELP2PPeer* peer, VELApplication* application,
                               const VELP2PPresenceSettings& settings)
    : _settings(settings) {
  if (settings.announce) {
    _announcer = std::make_unique<VELP2PAnnouncer>(peer, application, settings.AnnouncePeriodMs(),
                                                   std::random_device()());
  }
  if (settings.livenessMs > 0) {
    _liveness = std::make_unique<VELP2PLiveness>(peer, application, settings.livenessMs, [this]() {
      if (_announcer)
        _announcer->Suspect();
    });
  }
}

VELP2PPresence::~VELP2PPresence() = default;

void VELP2PPresence::Start(VELP2PPeer* peer) {
  Stop();
  VELApplication* application = VELApplication::MainApplication();
  if (application)
    g_instance = new VELP2PPresence(peer, application, VELP2PPresenceSettings::FromEnvironment());
}

void VELP2PPresence::Stop() {
  VELP2PPresence* stopped = g_instance;
  g_instance = nullptr;
  if (!stopped)
    return;
  // The peer may close from a notification fired by this object's own callbacks: let them return first.
  // Callbacks that still come find the instance detached and do nothing.
  VELApplication* loop = VELApplication::MainApplication();
  if (loop == nullptr || !loop->DeferToTurnEnd([stopped]() { delete stopped; }))
    delete stopped;
}

VELP2PPresence* VELP2PPresence::Get() {
  return g_instance;
}

void VELP2PPresence::SendFailed() {
  if (_announcer)
    _announcer->Suspect();
}
