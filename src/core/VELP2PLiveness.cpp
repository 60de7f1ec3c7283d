#include "core/VELP2PLiveness.h"

#include <algorithm>

#include "core/VELP2PNode.h"
#include "core/VELP2PRecordFacts.h"
#include "host/VELLocalAddress.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PLiveness.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"
#include "wire/VELByteOrder.h"

namespace {

using Clock = std::chrono::steady_clock;

// Valid while the notifications are fired, on the thread that fires them.
thread_local const char* t_reason = nullptr;

// Sets the reason for the notifications fired while it lives.
class ReasonScope {
 public:
  explicit ReasonScope(const char* reason) : _saved(t_reason) { t_reason = reason; }
  ~ReasonScope() { t_reason = _saved; }

 private:
  const char* _saved;
};

// The first record usable for point-to-point sending, or null.
const VELP2PEndPointInfo* UnicastRecord(const VELP2PPeerInfo& info) {
  VELListPtrVELP2PEndPointInfo* records = const_cast<VELP2PPeerInfo&>(info).GetEndPointsInfoList();
  for (int i = 1; records && i <= records->Size(); ++i) {
    const VELP2PEndPointInfo* record = (*records)[i];
    if (record && (record->kind & VELP2P_ENDPOINT_UNICAST) && !(record->kind & VELP2P_ENDPOINT_MULTICAST))
      return record;
  }
  return nullptr;
}

// Where the message that carried a record came from; 0 for a record the application made, or when the
// medium does not say.
uint32_t SourceOf(const VELP2PPeerInfo& info) {
  const VELP2PRecordFacts* facts = VELP2PRecordFacts::Of(&info);
  return facts && !VELIsForbiddenIPv4(facts->source.address) ? facts->source.address : 0;
}

}  // namespace

const char* VELP2PPresenceReason() {
  return t_reason;
}

VELP2PLiveness::VELP2PLiveness(VELP2PNode& node, VELApplication* application, int intervalMs,
                               std::function<void()> onUnreachable)
    : _node(node),
      _peer(&node.Peer()),
      _intervalMs(intervalMs),
      _checkTimeoutMs(std::clamp(intervalMs / 4, 250, kMaxCheckTimeoutMs)),
      _onUnreachable(std::move(onUnreachable)),
      _refilled(Clock::now()),
      _random(std::random_device()()),
      _probe(application),
      _timer(application, [this]() { Run(); }) {}

VELP2PLiveness::~VELP2PLiveness() = default;

bool VELP2PLiveness::Stopped() const {
  return _node.Liveness() != this;
}

void VELP2PLiveness::SetHome(Entry& entry, uint32_t address) {
  if (entry.home != 0) {
    auto counted = _perSource.find(entry.home);
    if (counted != _perSource.end() && --counted->second <= 0)
      _perSource.erase(counted);
  }
  entry.home = address;
  if (address != 0)
    ++_perSource[address];
}

void VELP2PLiveness::Erase(std::unordered_map<std::string, Entry>::iterator entry) {
  SetHome(entry->second, 0);
  _entries.erase(entry);
}

void VELP2PLiveness::Heard(const VELUnicodeString& name, const VELP2PSource& source) {
  auto found = _entries.find(name.Str());
  if (found == _entries.end())
    return;
  Entry& entry = found->second;
  const uint32_t address = VELIsForbiddenIPv4(source.address) ? 0 : source.address;
  // A medium that does not tell where a message came from cannot be held to an address.
  if (address != 0 && entry.home == 0)
    SetHome(entry, address);
  if (address == 0 || address == entry.home) {
    entry.lastHeard = Clock::now();
    entry.misses = 0;
    entry.tryOther = false;
    if (entry.heard < 255)
      ++entry.heard;
  } else {
    entry.other = address;
  }
}

void VELP2PLiveness::Track(const VELP2PPeerInfo& info, Directory directory) {
  const VELUnicodeString* localName = _peer->GetPeerName();
  if (localName && *localName == info.name)
    return;
  auto inserted = _entries.try_emplace(info.name.Str());
  Entry& entry = inserted.first->second;
  (directory == Directory::kConnected ? entry.connected : entry.group) = true;
  if (!inserted.second)
    return;
  if (const VELP2PEndPointInfo* record = UnicastRecord(info))
    entry.port = VELP2PLoadU16BE(&record->port);
  SetHome(entry, SourceOf(info));
  entry.heard = 1;
  entry.lastHeard = Clock::now();
  std::uniform_int_distribution<int> jitter(0, std::min(_intervalMs / 10, 65535));
  entry.jitterMs = static_cast<uint16_t>(jitter(_random));
  _timer.ArmAt(DueOf(entry));
}

void VELP2PLiveness::Forget(const VELUnicodeString& name) {
  auto found = _entries.find(name.Str());
  if (found == _entries.end())
    return;
  VELHashDicVELP2PPeerInfo* connected = _peer->GetConnectedPeersDirectory();
  VELHashDicVELP2PPeerInfo* group = _peer->GetGroupPeers();
  found->second.connected = connected && connected->Locate(name);
  found->second.group = group && group->Locate(name);
  // An entry being checked goes when the check ends.
  if (!found->second.connected && !found->second.group && !found->second.probing) {
    _replacements.erase(found->first);
    Erase(found);
  }
}

void VELP2PLiveness::GroupEmptied() {
  for (auto item = _entries.begin(); item != _entries.end();) {
    item->second.group = false;
    if (item->second.connected || item->second.probing) {
      ++item;
      continue;
    }
    _replacements.erase(item->first);
    auto gone = item++;
    Erase(gone);
  }
}

bool VELP2PLiveness::SourceHasRoom(const VELP2PPeerInfo& info) const {
  const uint32_t source = SourceOf(info);
  if (source == 0 || _entries.count(info.name.Str()))
    return true;
  auto counted = _perSource.find(source);
  if (counted == _perSource.end() || counted->second < kMaxPerSource)
    return true;
  VELP2P_TRACE("VELP2PLiveness - one source speaks for too many names, peer not recorded");
  return false;
}

bool VELP2PLiveness::Restarted(Directory directory, VELP2PPeerInfo* info, const VELP2PPeerInfo& known) {
  const VELP2PEndPointInfo* fresh = UnicastRecord(*info);
  const VELP2PEndPointInfo* stored = UnicastRecord(known);
  const VELUnicodeString* localName = _peer->GetPeerName();
  if (!fresh || !stored || (fresh->address == stored->address && fresh->port == stored->port) ||
      (localName && *localName == info->name))
    return false;
  auto found = _entries.find(info->name.Str());
  if (found == _entries.end())
    return false;
  std::vector<Waiting>& replacements = _replacements[info->name.Str()];
  if (replacements.size() >= 2)
    replacements.erase(replacements.begin());
  replacements.push_back(Waiting{directory, std::unique_ptr<VELP2PPeerInfo>(info)});
  found->second.urgent = true;
  found->second.due = Clock::now();
  _timer.ArmAt(found->second.due);
  return true;
}

void VELP2PLiveness::Full(Directory directory, VELP2PPeerInfo* info) {
  if (_waiting.size() >= kMaxWaiting)
    _waiting.pop_front();
  _waiting.push_back(Waiting{directory, std::unique_ptr<VELP2PPeerInfo>(info)});
  // Making room looks at every entry: during a flood of newcomers, not at every one.
  _timer.ArmAt(std::max(Clock::now(), _roomMadeAt + std::chrono::milliseconds(kRoomGapMs)));
}

bool VELP2PLiveness::Checkable(const Entry& entry) const {
  return entry.port != 0 && !entry.uncheckable && (entry.home != 0 || entry.other != 0);
}

VELP2PLiveness::Clock::time_point VELP2PLiveness::DueOf(const Entry& entry) const {
  if (entry.urgent || entry.misses > 0)
    return entry.due;
  const int silenceMs = _intervalMs + entry.jitterMs;
  // Without a place to check, silence for as long as the checks would take is the end.
  return entry.lastHeard +
         std::chrono::milliseconds(Checkable(entry) ? silenceMs : silenceMs + kMaxMisses * _checkTimeoutMs);
}

bool VELP2PLiveness::Crowded(const Waiting& waiting) const {
  VELHashDicVELP2PPeerInfo* directory = waiting.directory == Directory::kConnected
                                            ? _peer->GetConnectedPeersDirectory()
                                            : _peer->GetGroupPeers();
  if (directory && directory->Size() >= kVELP2PMaxKnownPeers)
    return true;
  const uint32_t source = SourceOf(*waiting.info);
  auto counted = _perSource.find(source);
  return source != 0 && counted != _perSource.end() && counted->second >= kMaxPerSource;
}

bool VELP2PLiveness::MakeRoom(Clock::time_point now) {
  // The newest newcomer first: the older ones may be gone by now.
  const Waiting& waiting = _waiting.back();
  if (!Crowded(waiting)) {
    // Room was made by a departure.
    AdmitWaiting();
    return true;
  }
  VELHashDicVELP2PPeerInfo* directory = waiting.directory == Directory::kConnected
                                            ? _peer->GetConnectedPeersDirectory()
                                            : _peer->GetGroupPeers();
  const bool directoryFull = directory && directory->Size() >= kVELP2PMaxKnownPeers;
  // Whom the newcomer competes with: the directory it waits for when that is full, else the names its
  // source speaks for.
  auto competes = [&](const Entry& entry) {
    return directoryFull ? (waiting.directory == Directory::kConnected ? entry.connected : entry.group)
                         : entry.home == SourceOf(*waiting.info);
  };
  auto stalest = _entries.end();
  std::multimap<Clock::time_point, Entry*> oldest;
  int checked = 0;
  for (auto item = _entries.begin(); item != _entries.end(); ++item) {
    Entry& entry = item->second;
    if (!competes(entry))
      continue;
    checked += entry.urgent ? 1 : 0;
    if (entry.probing || entry.urgent)
      continue;
    if (entry.heard <= 1 && now - entry.lastHeard >= std::chrono::milliseconds(kHeardOnceMs) &&
        (stalest == _entries.end() || entry.lastHeard < stalest->second.lastHeard))
      stalest = item;
    if (Checkable(entry)) {
      oldest.emplace(entry.lastHeard, &entry);
      if (oldest.size() > static_cast<size_t>(kOldestChecked))
        oldest.erase(std::prev(oldest.end()));
    }
  }
  if (stalest != _entries.end()) {
    const std::string name = stalest->first;  // Dead erases the entry that holds the key
    Dead(name);
    return true;
  }
  // Entries already being checked count: were more added at each turn, the checks would spread over so many
  // entries that none would miss often enough to be found dead.
  for (auto item = oldest.begin(); item != oldest.end() && checked < kOldestChecked; ++item, ++checked) {
    item->second->urgent = true;
    item->second->due = now;
  }
  return false;
}

void VELP2PLiveness::Run() {
  if (Stopped())
    return;
  Clock::time_point now = Clock::now();
  _starved = false;
  if (!_waiting.empty()) {
    _roomMadeAt = now;
    (void)MakeRoom(now);
    if (Stopped())
      return;
  }
  Clock::time_point next = Clock::time_point::max();
  std::vector<std::string> expired;
  std::vector<std::pair<Clock::time_point, std::string>> due;  // urgent ones first, then the most overdue
  for (const auto& item : _entries) {
    const Entry& entry = item.second;
    if (entry.probing)
      continue;
    const Clock::time_point when = DueOf(entry);
    if (when > now) {
      next = std::min(next, when);
    } else if (!Checkable(entry)) {
      expired.push_back(item.first);
    } else {
      due.emplace_back(entry.urgent ? Clock::time_point::min() : when, item.first);
    }
  }
  for (const std::string& name : expired) {
    Dead(name);
    if (Stopped())
      return;
  }
  std::sort(due.begin(), due.end());
  _tokens = std::min<double>(
      kChecksPerSecond, _tokens + std::chrono::duration<double>(now - _refilled).count() * kChecksPerSecond);
  _refilled = now;
  for (const auto& item : due) {
    auto found = _entries.find(item.second);
    if (found == _entries.end() || found->second.probing)
      continue;
    if (_tokens < 1 || _probe.InFlight() >= kMaxInFlight) {
      // The rest waits for the budget, or for a check in flight to end.
      _starved = _probe.InFlight() >= kMaxInFlight;
      if (_tokens < 1)
        next = std::min(next, now + std::chrono::milliseconds(1000 / kChecksPerSecond));
      break;
    }
    Check(found->first, found->second, now);
  }
  // A newcomer waits: names heard once become removable as time passes.
  if (!_waiting.empty())
    next = std::min(next, now + std::chrono::milliseconds(kRoomGapMs));
  if (next != Clock::time_point::max())
    _timer.ArmAt(next);
}

const VELP2PPeerInfo* VELP2PLiveness::Record(const std::string& name, const Entry& entry) const {
  VELUnicodeString peerName(name.c_str());
  VELHashDicVELP2PPeerInfo* connected = entry.connected ? _peer->GetConnectedPeersDirectory() : nullptr;
  VELHashDicVELP2PPeerInfo* group = entry.group ? _peer->GetGroupPeers() : nullptr;
  if (VELP2PPeerInfo* found = connected ? connected->Locate(peerName) : nullptr)
    return found;
  return group ? group->Locate(peerName) : nullptr;
}

void VELP2PLiveness::Check(const std::string& name, Entry& entry, Clock::time_point now) {
  const uint32_t address = (entry.tryOther && entry.other != 0) || entry.home == 0 ? entry.other : entry.home;
  // Where this peer spoke from, but never to an address no record may name, nor to an address of this host
  // for a peer whose record came from elsewhere; and within what automatic work may send to the address.
  VELP2PAnswerGuard& guard = _node.Guard();
  const VELP2PPeerInfo* record = Record(name, entry);
  if (!guard.MayConnect(address, record)) {
    entry.uncheckable = true;
    _timer.ArmAt(DueOf(entry));
    return;
  }
  if (!guard.MayCheck(address, record)) {
    entry.due = now + std::chrono::seconds(1);
    entry.misses = std::max<uint8_t>(entry.misses, 1);
    _timer.ArmAt(entry.due);
    return;
  }
  _tokens -= 1;
  ++_checksStarted;
  entry.probing = true;
  entry.checkStarted = now;
  _probe.Start(address, entry.port, _checkTimeoutMs, [this, name, address](VELTCPProbe::Result result) {
    if (Stopped())
      return;
    if (_starved) {
      _starved = false;
      _timer.ArmAt(Clock::now());
    }
    Answered(name, address, result);
  });
}

void VELP2PLiveness::Answered(const std::string& name, uint32_t address, VELTCPProbe::Result result) {
  auto found = _entries.find(name);
  if (found == _entries.end())
    return;
  Entry& entry = found->second;
  entry.probing = false;
  const Clock::time_point now = Clock::now();
  if (!_replacements.count(name) && !entry.connected && !entry.group) {
    Erase(found);
    return;
  }
  // Heard from while the check ran (the outcome may predate it): alive, unless the stored record was being
  // checked for a newer one under its name.
  const bool heardSince = entry.lastHeard > entry.checkStarted && !entry.urgent;
  if (result == VELTCPProbe::Result::kConnected || heardSince) {
    // A newer record under the same name belongs to another process: the first one stays.
    _replacements.erase(name);
    entry.urgent = false;
    entry.misses = 0;
    entry.tryOther = false;
    entry.lastHeard = now;
    if (result == VELTCPProbe::Result::kConnected && address == entry.other && address != entry.home) {
      // It answers where it was heard from last: that is where it lives now.
      entry.other = entry.home;
      SetHome(entry, address);
    }
  } else if (result == VELTCPProbe::Result::kRefused && address == entry.home) {
    Dead(name);
    return;
  } else if (++entry.misses >= kMaxMisses) {
    Dead(name);
    return;
  } else {
    if (result == VELTCPProbe::Result::kTimedOut && _onUnreachable)
      _onUnreachable();
    if (Stopped())
      return;
    entry.tryOther = entry.other != 0 && !entry.tryOther;
    entry.due = entry.urgent ? now : now + std::chrono::milliseconds(_checkTimeoutMs / 2);
  }
  _timer.ArmAt(DueOf(entry));
}

void VELP2PLiveness::Dead(const std::string name) {
  VELP2P_TRACE("VELP2PLiveness - peer found dead");
  std::vector<Waiting> replacements;
  auto found = _replacements.find(name);
  if (found != _replacements.end()) {
    replacements = std::move(found->second);
    _replacements.erase(found);
  }
  if (auto entry = _entries.find(name); entry != _entries.end())
    Erase(entry);
  VELUnicodeString peerName(name.c_str());
  {
    ReasonScope scope(replacements.empty() ? "expired" : "restarted");
    _peer->NewPeerDeath(peerName);
    if (Stopped())
      return;
    _peer->NewPeerDestroyed(peerName);
    if (Stopped())
      return;
    if (VELHashDicVELP2PPeerInfo* crossGroup = _peer->GetCrossGroupPeers())
      delete crossGroup->Remove(peerName);
    for (Waiting& waiting : replacements) {
      Insert(waiting.directory, std::move(waiting.info));
      if (Stopped())
        return;
    }
  }
  AdmitWaiting();
}

void VELP2PLiveness::AdmitWaiting() {
  // The newest first: after a flood, the newcomer that matters came last.
  std::deque<Waiting> waiting = std::move(_waiting);
  _waiting.clear();
  while (!waiting.empty() && !Stopped()) {
    Insert(waiting.back().directory, std::move(waiting.back().info));
    waiting.pop_back();
  }
}

void VELP2PLiveness::Insert(Directory directory, std::unique_ptr<VELP2PPeerInfo> info) {
  VELP2PPeerInfo* record = info.release();
  VELResult result =
      directory == Directory::kConnected ? _peer->NewPeerBirth(record) : _peer->NewPeerDiscovered(record);
  if (VEL_FAILED(result))
    delete record;
}
