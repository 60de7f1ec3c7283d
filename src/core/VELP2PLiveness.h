// Finds peers that vanished without announcing it, and peers that came back under their name from
// elsewhere, by checking whether their TCP endpoint still accepts connections.
#ifndef VELP2P_CORE_VELP2PLIVENESS_H
#define VELP2P_CORE_VELP2PLIVENESS_H

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/VELLoopLink.h"
#include "transport/VELTCPProbe.h"

class VELApplication;
class VELP2PPeer;
class VELP2PPeerInfo;
class VELUnicodeString;

// A peer not heard from for the interval (jittered by a fifth either way) is probed: a connection opened
// and closed with nothing sent, which a peer without this check also accepts and drops silently. Refused:
// dead at once. Unanswered kMaxMisses times in a row, one interval apart: dead. Any message from the peer,
// or an accepted probe, counts as a sign of life. A dead peer leaves every directory with the notifications
// of a departure, fired here only; nothing is sent.
//
// Work is bounded: at most kProbesPerSecond probes start per second and kMaxInFlight run at once, in the
// order of their due time, so a full directory is swept over time rather than at once.
class VELP2PLiveness {
 public:
  enum class Directory { kConnected, kGroup };
  static constexpr int kDefaultIntervalMs = 10000;
  static constexpr int kMaxMisses = 3;
  static constexpr int kProbesPerSecond = 20;
  static constexpr int kMaxInFlight = 8;
  static constexpr int kProbeTimeoutMs = 3000;
  static constexpr int kTickMs = 100;
  static constexpr size_t kMaxWaiting = 8;  // newcomers kept while a directory is full
  static constexpr int kOldestChecked = 8;  // entries checked at once when a directory is full

  // Checks every intervalMs (the peer's liveness option; 0: off). Off as well without a main application.
  static void Start(VELP2PPeer* peer, int intervalMs);
  static void Stop();
  // Null while off.
  static VELP2PLiveness* Get();

  void Heard(const VELUnicodeString& name);
  // A record was stored in one of the directories.
  void Track(const VELP2PPeerInfo& info);
  // The name has left the directories by an announced departure.
  void Forget(const VELUnicodeString& name);
  // info names a stored peer: when its unicast endpoint differs from the stored one, takes info over,
  // checks the stored endpoint at once and returns true. The new record replaces the old one if that
  // proves dead, and is destroyed otherwise.
  bool Restarted(Directory directory, VELP2PPeerInfo* info, const VELP2PPeerInfo& known);
  // A directory had no room for info: takes it over, keeps the newest few, and checks the oldest entries so
  // that the dead ones make room.
  void Full(Directory directory, VELP2PPeerInfo* info);

  ~VELP2PLiveness();

 private:
  struct Waiting {
    Directory directory;
    std::unique_ptr<VELP2PPeerInfo> info;
  };
  // One per known peer, so kept small; the rare replacements live in _replacements.
  struct Entry {
    uint32_t address = 0;  // network order; 0: no endpoint to check
    uint16_t port = 0;
    uint8_t misses = 0;
    bool probing : 1;
    bool urgent : 1;
    std::chrono::steady_clock::time_point lastHeard;
    std::chrono::steady_clock::time_point due;
    Entry() : probing(false), urgent(false) {}
  };

  VELP2PLiveness(VELP2PPeer* peer, VELApplication* application, int intervalMs);
  bool Known(const VELUnicodeString& name);
  void Schedule(Entry& entry);
  void Tick();
  // The most overdue entry without an endpoint in a directory that a newcomer waits for; empty if none.
  std::string Stale(std::chrono::steady_clock::time_point now);
  void Probe(const std::string& name, Entry& entry);
  void Answered(const std::string& name, VELTCPProbe::Result result);
  void Dead(const std::string& name);
  void Insert(Directory directory, std::unique_ptr<VELP2PPeerInfo> info);

  VELP2PPeer* _peer;
  VELApplication* _application;  // used only while _loop says it lives
  VELLoopLink _loop;
  int _intervalMs;
  int _timerId = 0;
  std::map<std::string, Entry> _entries;
  std::map<std::string, std::vector<Waiting>> _replacements;  // newer records of entries being checked
  std::deque<Waiting> _waiting;  // newcomers refused by a full directory, oldest first
  std::minstd_rand _random;
  VELTCPProbe _probe;
};

#endif
