#include "core/VELP2PLiveness.h"

#include <cstdlib>

#include "core/VELP2PConfig.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PLiveness.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"
#include "velp2p/VELSystem.h"
#include "wire/VELByteOrder.h"

namespace {

using Clock = std::chrono::steady_clock;

VELP2PLiveness* g_instance = nullptr;
const char* g_reason = nullptr;

// Sets the reason for the notifications fired while it lives.
class ReasonScope {
 public:
  explicit ReasonScope(const char* reason) : _saved(g_reason) { g_reason = reason; }
  ~ReasonScope() { g_reason = _saved; }

 private:
  const char* _saved;
};

// The first record usable for point-to-point sending, or null.
const VELP2PEndPointInfo* UnicastRecord(VELP2PPeerInfo& info) {
  VELListPtrVELP2PEndPointInfo* records = info.GetEndPointsInfoList();
  for (int i = 1; records && i <= records->Size(); ++i) {
    const VELP2PEndPointInfo* record = (*records)[i];
    if (record && (record->kind & VELP2P_ENDPOINT_UNICAST) && !(record->kind & VELP2P_ENDPOINT_MULTICAST))
      return record;
  }
  return nullptr;
}

}  // namespace

const char* VELP2PPresenceReason() {
  return g_reason;
}

VELP2PLiveness::VELP2PLiveness(VELP2PPeer* peer, VELApplication* application, int intervalMs)
    : _peer(peer),
      _application(application),
      _loop(application),
      _intervalMs(intervalMs),
      _random(std::random_device()()),
      _probe(application) {
  _timerId = _application->AddTimer(kTickMs, [this]() { Tick(); });
}

VELP2PLiveness::~VELP2PLiveness() {
  if (_loop.Get() != nullptr)
    _application->CancelTimer(_timerId);
}

void VELP2PLiveness::Start(VELP2PPeer* peer, int intervalMs) {
  Stop();
  VELApplication* application = VELApplication::MainApplication();
  if (intervalMs <= 0 || !application)
    return;
  g_instance = new VELP2PLiveness(peer, application, intervalMs < kTickMs ? kTickMs : intervalMs);
}

void VELP2PLiveness::Stop() {
  VELP2PLiveness* stopped = g_instance;
  g_instance = nullptr;
  if (!stopped)
    return;
  // The peer may close from a notification fired by this object's own callbacks: let them return first.
  // Callbacks that still come find themselves detached and do nothing.
  VELApplication* loop = stopped->_loop.Get();
  if (loop == nullptr || !loop->DeferToTurnEnd([stopped]() { delete stopped; }))
    delete stopped;
}

VELP2PLiveness* VELP2PLiveness::Get() {
  return g_instance;
}

void VELP2PLiveness::Schedule(Entry& entry) {
  std::uniform_int_distribution<int> jitter(-_intervalMs / 5, _intervalMs / 5);
  entry.due = entry.lastHeard + std::chrono::milliseconds(_intervalMs + jitter(_random));
}

void VELP2PLiveness::Heard(const VELUnicodeString& name) {
  auto found = _entries.find(name.Str());
  if (found == _entries.end())
    return;
  Entry& entry = found->second;
  entry.lastHeard = Clock::now();
  entry.misses = 0;
  if (!entry.urgent)
    Schedule(entry);
}

void VELP2PLiveness::Track(const VELP2PPeerInfo& info) {
  const VELUnicodeString* localName = _peer->GetPeerName();
  if (localName && *localName == info.name)
    return;
  Entry& entry = _entries[info.name.Str()];
  if (entry.address == 0) {
    if (const VELP2PEndPointInfo* record = UnicastRecord(const_cast<VELP2PPeerInfo&>(info))) {
      entry.address = record->address;
      entry.port = VELP2PLoadU16BE(&record->port);
    }
  }
  entry.lastHeard = Clock::now();
  Schedule(entry);
}

bool VELP2PLiveness::Known(const VELUnicodeString& name) {
  VELHashDicVELP2PPeerInfo* connected = _peer->GetConnectedPeersDirectory();
  VELHashDicVELP2PPeerInfo* group = _peer->GetGroupPeers();
  return (connected && connected->Locate(name)) || (group && group->Locate(name));
}

void VELP2PLiveness::Forget(const VELUnicodeString& name) {
  if (Known(name))
    return;
  auto found = _entries.find(name.Str());
  if (found != _entries.end() && !found->second.probing) {
    _entries.erase(found);
    _replacements.erase(name.Str());
  }
}

bool VELP2PLiveness::Restarted(Directory directory, VELP2PPeerInfo* info, const VELP2PPeerInfo& known) {
  const VELP2PEndPointInfo* fresh = UnicastRecord(*info);
  const VELP2PEndPointInfo* stored = UnicastRecord(const_cast<VELP2PPeerInfo&>(known));
  const VELUnicodeString* localName = _peer->GetPeerName();
  if (!fresh || !stored || (fresh->address == stored->address && fresh->port == stored->port) ||
      (localName && *localName == info->name))
    return false;
  Entry& entry = _entries[info->name.Str()];
  if (entry.address == 0) {
    entry.address = stored->address;
    entry.port = VELP2PLoadU16BE(&stored->port);
  }
  std::vector<Waiting>& replacements = _replacements[info->name.Str()];
  if (replacements.size() >= 2)
    replacements.erase(replacements.begin());
  replacements.push_back(Waiting{directory, std::unique_ptr<VELP2PPeerInfo>(info)});
  entry.urgent = true;
  entry.due = Clock::now();
  return true;
}

void VELP2PLiveness::Full(Directory directory, VELP2PPeerInfo* info) {
  if (_waiting.size() >= kMaxWaiting)
    _waiting.pop_front();
  _waiting.push_back(Waiting{directory, std::unique_ptr<VELP2PPeerInfo>(info)});
  // Entries already being checked count: were more added at each refusal, a flood of them would spread the
  // probes over so many entries that none would miss often enough to be found dead.
  int checked = 0;
  std::multimap<Clock::time_point, Entry*> oldest;
  for (auto& item : _entries) {
    Entry& entry = item.second;
    checked += entry.urgent ? 1 : 0;
    if (entry.probing || entry.urgent || entry.address == 0)
      continue;
    oldest.emplace(entry.lastHeard, &entry);
    if (oldest.size() > static_cast<size_t>(kOldestChecked))
      oldest.erase(std::prev(oldest.end()));
  }
  for (auto item = oldest.begin(); item != oldest.end() && checked < kOldestChecked; ++item, ++checked) {
    item->second->urgent = true;
    item->second->due = Clock::now();
  }
}

std::string VELP2PLiveness::Stale(Clock::time_point now) {
  std::vector<VELHashDicVELP2PPeerInfo*> crowded;
  for (const Waiting& waiting : _waiting) {
    VELHashDicVELP2PPeerInfo* directory = waiting.directory == Directory::kConnected
                                              ? _peer->GetConnectedPeersDirectory()
                                              : _peer->GetGroupPeers();
    if (directory && directory->Size() >= kVELP2PMaxKnownPeers)
      crowded.push_back(directory);
  }
  auto chosen = _entries.end();
  for (auto item = _entries.begin(); item != _entries.end(); ++item) {
    const Entry& entry = item->second;
    if (entry.address != 0 || entry.due > now ||
        (chosen != _entries.end() && chosen->second.due <= entry.due))
      continue;
    VELUnicodeString name(item->first.c_str());
    for (VELHashDicVELP2PPeerInfo* directory : crowded) {
      if (directory->Locate(name))
        chosen = item;
    }
  }
  return chosen == _entries.end() ? std::string() : chosen->first;
}

void VELP2PLiveness::Tick() {
  if (g_instance != this)
    return;
  _timerId = _application->AddTimer(kTickMs, [this]() { Tick(); });
  int budget = kProbesPerSecond * kTickMs / 1000;
  Clock::time_point now = Clock::now();
  // An entry without an endpoint cannot be checked: once overdue it counts as dead when a newcomer waits for
  // room, or names that nobody stands behind could keep a directory full for good.
  while (budget > 0 && !_waiting.empty()) {
    const std::string stale = Stale(now);
    if (stale.empty())
      break;
    --budget;
    Dead(stale);
    if (g_instance != this)
      return;
  }
  while (budget > 0 && _probe.InFlight() < kMaxInFlight) {
    // The most overdue entry, urgent ones first.
    auto chosen = _entries.end();
    for (auto item = _entries.begin(); item != _entries.end(); ++item) {
      const Entry& entry = item->second;
      if (entry.probing || entry.address == 0 || entry.due > now)
        continue;
      if (chosen == _entries.end() || (entry.urgent && !chosen->second.urgent) ||
          (entry.urgent == chosen->second.urgent && entry.due < chosen->second.due))
        chosen = item;
    }
    if (chosen == _entries.end())
      return;
    Probe(chosen->first, chosen->second);
    --budget;
  }
}

void VELP2PLiveness::Probe(const std::string& name, Entry& entry) {
  entry.probing = true;
  int timeoutMs = _intervalMs < kProbeTimeoutMs ? _intervalMs : kProbeTimeoutMs;
  _probe.Start(entry.address, entry.port, timeoutMs, [this, name](VELTCPProbe::Result result) {
    if (g_instance == this)
      Answered(name, result);
  });
}

void VELP2PLiveness::Answered(const std::string& name, VELTCPProbe::Result result) {
  auto found = _entries.find(name);
  if (found == _entries.end())
    return;
  Entry& entry = found->second;
  entry.probing = false;
  VELUnicodeString peerName(name.c_str());
  if (!_replacements.count(name) && !Known(peerName)) {
    _entries.erase(found);
    return;
  }
  if (result == VELTCPProbe::Result::kConnected) {
    // Alive: a newer record under the same name belongs to another process, and the first one stays.
    _replacements.erase(name);
    entry.urgent = false;
    entry.misses = 0;
    entry.lastHeard = Clock::now();
    Schedule(entry);
    return;
  }
  if (result == VELTCPProbe::Result::kRefused || ++entry.misses >= kMaxMisses) {
    Dead(name);
    return;
  }
  entry.due = Clock::now() + std::chrono::milliseconds(entry.urgent ? 0 : _intervalMs);
}

void VELP2PLiveness::Dead(const std::string& name) {
  VELP2P_TRACE("VELP2PLiveness - peer found dead");
  std::vector<Waiting> replacements;
  auto found = _replacements.find(name);
  if (found != _replacements.end()) {
    replacements = std::move(found->second);
    _replacements.erase(found);
  }
  _entries.erase(name);
  VELUnicodeString peerName(name.c_str());
  {
    ReasonScope scope(replacements.empty() ? "expired" : "restarted");
    _peer->NewPeerDeath(peerName);
    if (g_instance != this)
      return;
    _peer->NewPeerDestroyed(peerName);
    if (g_instance != this)
      return;
    if (VELHashDicVELP2PPeerInfo* crossGroup = _peer->GetCrossGroupPeers())
      delete crossGroup->Remove(peerName);
    for (Waiting& waiting : replacements) {
      Insert(waiting.directory, std::move(waiting.info));
      if (g_instance != this)
        return;
    }
  }
  std::deque<Waiting> waiting = std::move(_waiting);
  _waiting.clear();
  while (!waiting.empty() && g_instance == this) {
    Insert(waiting.front().directory, std::move(waiting.front().info));
    waiting.pop_front();
  }
}

void VELP2PLiveness::Insert(Directory directory, std::unique_ptr<VELP2PPeerInfo> info) {
  VELP2PPeerInfo* record = info.release();
  VELResult result =
      directory == Directory::kConnected ? _peer->NewPeerBirth(record) : _peer->NewPeerDiscovered(record);
  if (VEL_FAILED(result))
    delete record;
}
