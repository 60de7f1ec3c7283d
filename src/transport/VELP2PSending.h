// The senders of the TCP endpoints, and those of released endpoints that still deliver their queues.
#ifndef VELP2P_TRANSPORT_VELP2PSENDING_H
#define VELP2P_TRANSPORT_VELP2PSENDING_H

#include <memory>
#include <vector>

#include "host/VELTCPSender.h"

// Holds no sender: a live one belongs to its endpoint, a released one to its loop. The loop, this object
// and the senders may therefore be destroyed in any order.
class VELP2PSending {
 public:
  static VELP2PSending& Instance();

  void Track(VELTCPSender* sender);
  // Forgets a live sender. One with blocks still queued is handed to its loop, which drives it until the
  // queue is delivered or 30 s have passed, and destroys it with itself at the latest; its failures are
  // reported as diagnostic lines since nobody is left to notify.
  void Release(std::unique_ptr<VELTCPSender> sender);
  int Pending() const;

 private:
  class Released;

  std::vector<VELTCPSender*> _live;
  std::vector<std::weak_ptr<Released>> _released;  // expire as their loops destroy them
};

#endif
