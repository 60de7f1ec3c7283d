#include "core/VELP2PAnnouncer.h"

#include <algorithm>
#include <vector>

#include "core/VELP2PNode.h"
#include "core/VELP2PPresence.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELNotification.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELP2PPayloads.h"

namespace {

constexpr uint8_t kPeerStillHere = '2';

std::vector<const VELP2PEndPointInfo*> LocalRecords(VELP2PPeer& peer) {
  std::vector<const VELP2PEndPointInfo*> records;
  for (VELListPtrVELP2PEndPoint* endpoints : {peer.GetMulticastEndPoints(), peer.GetUnicastEndPoints()}) {
    for (int i = 1; endpoints && i <= endpoints->Size(); ++i) {
      if (VELP2PEndPoint* endpoint = (*endpoints)[i]; endpoint && endpoint->GetEndPointInfo())
        records.push_back(endpoint->GetEndPointInfo());
    }
  }
  return records;
}

}  // namespace

VELP2PAnnouncer::VELP2PAnnouncer(VELP2PNode& node, VELApplication* application,
                                 const VELP2PPresenceSettings& settings, uint32_t seed, VELNetworkWatch watch)
    : _node(node),
      _peer(&node.Peer()),
      _settings(settings),
      _schedule(seed),
      _watch(std::move(watch)),
      _timer(application, [this]() { Run(); }) {
  if (!_peer->Collaboration()) {
    _groupChanges = AddCallback(nullptr, _peer->GetP2PPublisher(), "VELP2PCurrentGroupModifNotif",
                                [this](VELNotification*) { Restart(); });
  }
  Restart();
}

VELP2PAnnouncer::~VELP2PAnnouncer() {
  if (_groupChanges)
    RemoveCallback(_groupChanges);
}

void VELP2PAnnouncer::Restart() {
  _schedule.Restart();
  _nextAnnounce = Clock::now() + NextGap();
  _timer.ArmAt(_nextAnnounce);
}

std::chrono::milliseconds VELP2PAnnouncer::NextGap() {
  VELHashDicVELP2PPeerInfo* known =
      _peer->Collaboration() ? _peer->GetConnectedPeersDirectory() : _peer->GetGroupPeers();
  return std::chrono::milliseconds(
      _schedule.NextGapMs(_settings.AnnouncePeriodMs(known ? known->Size() : 0)));
}

void VELP2PAnnouncer::Suspect() {
  const Clock::time_point now = Clock::now();
  if (now >= _suspectUntil) {
    // What the addresses are now is what a returning network adds to.
    (void)_watch.Regained();
    _nextPoll = now + std::chrono::milliseconds(kSuspectPollMs);
    _timer.ArmAt(_nextPoll);
  }
  _suspectUntil = now + std::chrono::milliseconds(kSuspectForMs);
}

void VELP2PAnnouncer::SendFailed() {
  _sendsFailed = true;
  Suspect();
}

void VELP2PAnnouncer::SendReached() {
  if (!_sendsFailed)
    return;
  _sendsFailed = false;
  // Announced from the loop's next turn: a send's completion is no place to start another send.
  _reachedAgain = true;
  _timer.ArmAt(std::max(Clock::now(), _lastAnnounce + std::chrono::milliseconds(kMinGapMs)));
}

void VELP2PAnnouncer::AnnounceAtOnce(Clock::time_point now) {
  if (now - _lastAnnounce < std::chrono::milliseconds(kMinGapMs))
    return;
  VELP2P_TRACE("VELP2PAnnouncer - network back, announcing at once");
  _reachedAgain = false;
  ++_sentAtOnce;
  _failing = !Announce(now);
}

bool VELP2PAnnouncer::Announce(Clock::time_point now) {
  std::vector<char> payload;
  VELUnicodeString group;
  const char* service;
  if (_peer->Collaboration()) {
    payload = VELP2PWriteStatus(kVELP2PStatusBirth, _peer->GetStatus(), _peer->GetDesc().Str());
    group = "/";
    service = "StatusService";
  } else {
    const VELUnicodeString* current = _peer->GetCurrentGroup();
    if (!current || current->IsEmpty())
      return true;
    payload = VELP2PWritePeerRecords(kPeerStillHere, LocalRecords(*_peer));
    group = *current;
    service = "PeerService";
  }
  VELListPtrVELP2PEndPoint* list = _peer->GetMulticastEndPoints();
  std::vector<VELP2PEndPoint*> endpoints;
  for (int i = 1; list && i <= list->Size(); ++i) {
    if (VELP2PEndPoint* endpoint = (*list)[i])
      endpoints.push_back(endpoint);
  }
  // Held for the sends: a send fails rather than disconnect the peer, but nothing here relies on it.
  bool taken = false;
  for (VELP2PEndPoint* endpoint : endpoints) {
    endpoint->AddRef();
    taken |= VEL_SUCCEEDED(
        endpoint->SendToGroup(group, service, payload.data(), static_cast<int>(payload.size())));
    endpoint->Release();
  }
  _lastAnnounce = now;
  ++_sent;
  if (!taken)
    VELP2P_TRACE("VELP2PAnnouncer - announcement not sent");
  return taken || endpoints.empty();
}

void VELP2PAnnouncer::Run() {
  // A stopped peer's announcer may live on until the end of the loop's turn.
  VELP2PPresence* presence = _node.Presence();
  if (!_peer->Connected() || !presence || presence->Announcer() != this)
    return;
  const Clock::time_point now = Clock::now();
  if (now >= _nextAnnounce) {
    _nextAnnounce = now + NextGap();
    _reachedAgain = false;
    _failing = !Announce(now);
    if (_failing)
      Suspect();
  }
  if (_reachedAgain)
    AnnounceAtOnce(now);
  const bool suspected = now < _suspectUntil;
  if (suspected && now >= _nextPoll) {
    _nextPoll = now + std::chrono::milliseconds(kSuspectPollMs);
    const bool regained = _watch.Regained();
    if (regained || _failing)
      AnnounceAtOnce(now);
  }
  Clock::time_point due = suspected ? std::min(_nextAnnounce, _nextPoll) : _nextAnnounce;
  if (_reachedAgain)
    due = std::min(due, _lastAnnounce + std::chrono::milliseconds(kMinGapMs));
  _timer.ArmAt(due);
}
