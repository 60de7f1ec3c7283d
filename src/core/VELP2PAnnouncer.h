// Announces the local peer again on the multicast group, in a form that peers without this behaviour take
// harmlessly: soon after the start, then periodically, and at once when the network comes back.
#ifndef VELP2P_CORE_VELP2PANNOUNCER_H
#define VELP2P_CORE_VELP2PANNOUNCER_H

#include <chrono>
#include <cstdint>

#include "core/VELP2PAnnounceSchedule.h"
#include "core/VELP2PPresenceSettings.h"
#include "host/VELDueTimer.h"
#include "host/VELNetworkWatch.h"

class VELApplication;
class VELCallback;
class VELP2PNode;
class VELP2PPeer;

// In the collaboration mode the announcement is a status message of kind '2' to the group "/" carrying the
// local status and description (its header carries the TCP endpoint); in the standard mode a peer message
// with command '2' and the local endpoint records, to the current group. Receivers that know the sender only
// take it as a sign of life; those that do not treat it as a birth.
//
// The network is suspected when a check of a peer or a send goes unanswered, or an announcement cannot be
// sent. For kSuspectForMs then, the local addresses are read every kSuspectPollMs, and an address that comes
// back (a carrier, a link) is announced at once, as is the first announcement that can be sent again and the
// first send that reaches a peer after sends failed; announcements made at once are kMinGapMs apart at least.
// Otherwise the addresses are never read.
class VELP2PAnnouncer {
 public:
  static constexpr int kSuspectPollMs = 1000;
  static constexpr int kSuspectForMs = 15 * 60 * 1000;
  static constexpr int kMinGapMs = 1000;

  // watch: the local addresses (tests give their own); starts the schedule.
  VELP2PAnnouncer(VELP2PNode& node, VELApplication* application, const VELP2PPresenceSettings& settings,
                  uint32_t seed, VELNetworkWatch watch = VELNetworkWatch());
  ~VELP2PAnnouncer();
  VELP2PAnnouncer(const VELP2PAnnouncer&) = delete;
  VELP2PAnnouncer& operator=(const VELP2PAnnouncer&) = delete;

  // Something suggests the local network failed.
  void Suspect();
  // A send to another peer failed in a way the local network may have caused; a send that reaches a peer
  // after that says the network is back.
  void SendFailed();
  void SendReached();
  // Announcements sent, those of them made at once because the network came back, and the moment the next
  // periodic one is due.
  int Sent() const { return _sent; }
  int SentAtOnce() const { return _sentAtOnce; }
  std::chrono::steady_clock::time_point NextDue() const { return _nextAnnounce; }

 private:
  using Clock = std::chrono::steady_clock;

  void Run();
  // The early announcements again: the local peer entered another group.
  void Restart();
  // The wait before the next announcement, for the peers known now.
  std::chrono::milliseconds NextGap();
  // True when a multicast endpoint took the announcement.
  bool Announce(Clock::time_point now);
  // An announcement made at once, unless one left less than kMinGapMs ago.
  void AnnounceAtOnce(Clock::time_point now);

  VELP2PNode& _node;
  VELP2PPeer* _peer;
  VELP2PPresenceSettings _settings;
  VELP2PAnnounceSchedule _schedule;
  VELNetworkWatch _watch;
  VELCallback* _groupChanges = nullptr;  // subscription to the current group's changes
  Clock::time_point _nextAnnounce;
  Clock::time_point _lastAnnounce;
  Clock::time_point _suspectUntil;  // the network is suspected until then
  Clock::time_point _nextPoll;      // of the local addresses, while suspected
  bool _failing = false;            // the last announcement could not be sent
  bool _sendsFailed = false;        // sends failed since the last one that reached a peer
  bool _reachedAgain = false;       // a send reached a peer after failures; not announced yet
  int _sent = 0;
  int _sentAtOnce = 0;
  VELDueTimer _timer;  // last, so that it goes first
};

#endif
