// Keeps each peer of the directories listed for as long as it is heard, and finds the ones that fell silent
// without announcing it: a silent peer's TCP endpoint is checked where the peer spoke from.
#ifndef VELP2P_CORE_VELP2PLIVENESS_H
#define VELP2P_CORE_VELP2PLIVENESS_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/VELP2PConfig.h"
#include "host/VELDueTimer.h"
#include "transport/VELP2PReceiver.h"
#include "transport/VELTCPProbe.h"

class VELApplication;
class VELP2PNode;
class VELP2PPeer;
class VELP2PPeerInfo;
class VELUnicodeString;

// Every message from a peer renews its lease, as long as it comes from the address the peer was first heard
// from (its home): a name is easy to forge, an address much less so. A peer silent for the interval (plus up
// to a tenth, so that checks spread) is checked: a connection to its home address at the port of its TCP
// record, closed with nothing sent. Refused: it is gone. Unanswered kMaxMisses times in a row: gone (the
// later ones may go to the other address it was last heard from). Accepted: alive for another interval. An
// address it was never heard from is never checked, whatever its records say. An entry that gives nowhere to
// check expires once it has been silent as long as the checks would have taken. A departure found here
// leaves every directory with the notifications of an announced one; nothing is sent.
//
// Work is bounded: at most kChecksPerSecond checks start per second and kMaxInFlight run at once, most
// overdue first. One timer, armed for the earliest moment something is due: nothing runs while nothing is.
//
// A full directory refuses newcomers; the last kMaxWaiting are kept, and room is made for them: first by
// removing names heard only once and silent for kHeardOnceMs (a live peer with announcements speaks again
// within that time; a flood of invented names does not), then by checking the stalest entries at once.
// One source address holds at most kMaxPerSource entries, so that one host never fills a directory.
class VELP2PLiveness {
 public:
  enum class Directory { kConnected, kGroup };
  static constexpr int kMaxMisses = 3;
  static constexpr int kChecksPerSecond = 20;
  static constexpr int kMaxInFlight = 8;
  static constexpr int kMaxCheckTimeoutMs = 3000;
  static constexpr size_t kMaxWaiting = 8;
  static constexpr int kOldestChecked = 8;
  static constexpr int kHeardOnceMs = 2000;
  static constexpr int kRoomGapMs = 100;  // between two searches for room
  static constexpr int kMaxPerSource = kVELP2PMaxKnownPeers / 2;

  // intervalMs > 0. onUnreachable runs when a check went unanswered: the local network may be the cause.
  VELP2PLiveness(VELP2PNode& node, VELApplication* application, int intervalMs,
                 std::function<void()> onUnreachable);
  ~VELP2PLiveness();
  VELP2PLiveness(const VELP2PLiveness&) = delete;
  VELP2PLiveness& operator=(const VELP2PLiveness&) = delete;

  // A message from name arrived from source.
  void Heard(const VELUnicodeString& name, const VELP2PSource& source);
  // info was stored in the directory; the facts of the record (the message that carried it) tell where it
  // was heard from.
  void Track(const VELP2PPeerInfo& info, Directory directory);
  // The name has left the directories by an announced departure.
  void Forget(const VELUnicodeString& name);
  // The directory of the current group was emptied (the local peer changed groups).
  void GroupEmptied();
  // Whether info may enter a directory at once: false when its name is new and the address of the message
  // that carried it already speaks for kMaxPerSource of the entries (then Full applies).
  bool SourceHasRoom(const VELP2PPeerInfo& info) const;
  // info names a stored peer: when its unicast endpoint differs from the stored one, takes info over,
  // checks the stored peer at once and returns true. The new record replaces the old one if that proves
  // dead, and is destroyed otherwise.
  bool Restarted(Directory directory, VELP2PPeerInfo* info, const VELP2PPeerInfo& known);
  // A directory, or info's source, had no room for info: takes it over, keeps the newest few, and makes
  // room as above.
  void Full(Directory directory, VELP2PPeerInfo* info);

  // Checks started since creation, and the entries followed.
  int ChecksStarted() const { return _checksStarted; }
  size_t Size() const { return _entries.size(); }

 private:
  using Clock = std::chrono::steady_clock;

  struct Waiting {
    Directory directory;
    std::unique_ptr<VELP2PPeerInfo> info;
  };
  // One per known peer, so kept small; the rare replacements live in _replacements.
  struct Entry {
    uint32_t home = 0;   // the address it was first heard from, network order; 0: not known
    uint32_t other = 0;  // the last other address it was heard from; 0: none
    uint16_t port = 0;   // the port of its first TCP record, host order; 0: none
    uint16_t jitterMs = 0;
    uint8_t misses = 0;
    uint8_t heard = 0;  // messages from home, up to 255
    bool probing : 1;
    bool urgent : 1;
    bool tryOther : 1;     // the next check goes to other
    bool uncheckable : 1;  // its addresses turned out to be ones no check may go to
    bool connected : 1;    // in the directory of connected peers
    bool group : 1;        // in the directory of the current group
    Clock::time_point lastHeard;
    Clock::time_point due;  // of the next check once one was unanswered, or once urgent
    Clock::time_point checkStarted;
    Entry()
        : probing(false),
          urgent(false),
          tryOther(false),
          uncheckable(false),
          connected(false),
          group(false) {}
  };

  // Whether the node stopped these checks: its peer stopped, from a notification this object fired.
  bool Stopped() const;
  void Run();
  bool Checkable(const Entry& entry) const;
  Clock::time_point DueOf(const Entry& entry) const;
  void SetHome(Entry& entry, uint32_t address);
  void Erase(std::unordered_map<std::string, Entry>::iterator entry);
  // Whether a waiting newcomer still finds its directory full, or its source speaking for too many names.
  bool Crowded(const Waiting& waiting) const;
  // Lets waiting newcomers in once there is room, or gives the newest the place of a name heard once and
  // silent since; true when one was removed.
  bool MakeRoom(Clock::time_point now);
  // The directory record of an entry, or null.
  const VELP2PPeerInfo* Record(const std::string& name, const Entry& entry) const;
  void Check(const std::string& name, Entry& entry, Clock::time_point now);
  void Answered(const std::string& name, uint32_t address, VELTCPProbe::Result result);
  // Takes the name by value: the entry whose key it may be goes first.
  void Dead(const std::string name);
  // Hands the waiting newcomers to their directories again.
  void AdmitWaiting();
  void Insert(Directory directory, std::unique_ptr<VELP2PPeerInfo> info);

  VELP2PNode& _node;
  VELP2PPeer* _peer;
  int _intervalMs;
  int _checkTimeoutMs;
  std::function<void()> _onUnreachable;
  std::unordered_map<std::string, Entry> _entries;
  std::unordered_map<uint32_t, int> _perSource;               // entries by home address
  std::map<std::string, std::vector<Waiting>> _replacements;  // newer records of entries being checked
  std::deque<Waiting> _waiting;   // newcomers refused by a full directory, oldest first
  Clock::time_point _roomMadeAt;  // of the last search for room
  double _tokens = kChecksPerSecond;
  Clock::time_point _refilled;
  bool _starved = false;  // checks were due while kMaxInFlight ran
  int _checksStarted = 0;
  std::minstd_rand _random;
  VELTCPProbe _probe;
  VELDueTimer _timer;  // last, so that it goes first
};

#endif
