// The local peer's presence machinery, made from one set of settings: the liveness of the peers it knows,
// and the announcements that keep it known to them.
#ifndef VELP2P_CORE_VELP2PPRESENCE_H
#define VELP2P_CORE_VELP2PPRESENCE_H

#include <memory>

#include "core/VELP2PPresenceSettings.h"

class VELApplication;
class VELP2PAnnouncer;
class VELP2PHeader;
class VELP2PLiveness;
class VELP2PNode;
class VELP2PPeer;

// A node makes one when its peer starts, and stops it with the peer.
class VELP2PPresence {
 public:
  // Parts that the settings switch off are not made.
  VELP2PPresence(VELP2PNode& node, VELApplication* application, const VELP2PPresenceSettings& settings);
  ~VELP2PPresence();
  VELP2PPresence(const VELP2PPresence&) = delete;
  VELP2PPresence& operator=(const VELP2PPresence&) = delete;

  VELP2PLiveness* Liveness() { return _liveness.get(); }
  VELP2PAnnouncer* Announcer() { return _announcer.get(); }
  const VELP2PPresenceSettings& Settings() const { return _settings; }

  // A send to another peer went unanswered or found no route: the local network may be the cause.
  void SendFailed();
  // A send reached another peer.
  void SendReached();

  // Whether a message received by multicast is nothing but a known peer announcing itself again, from the
  // endpoints it is known with: the receive path has renewed its lease, and handling it would change
  // nothing. Announcements are the bulk of an idle group's traffic, so they skip the dispatch.
  static bool OnlyPresence(VELP2PPeer& peer, const VELP2PHeader& header);

 private:
  VELP2PPresenceSettings _settings;
  std::unique_ptr<VELP2PAnnouncer> _announcer;
  std::unique_ptr<VELP2PLiveness> _liveness;  // after the announcer, which its callbacks reach
};

#endif
