// The senders of the TCP endpoints, and those of released endpoints that still deliver their queues.
#ifndef VELP2P_TRANSPORT_VELP2PSENDING_H
#define VELP2P_TRANSPORT_VELP2PSENDING_H

#include <chrono>
#include <memory>
#include <vector>

#include "host/VELTCPSender.h"

class VELP2PSending {
 public:
  static VELP2PSending& Instance();

  void Track(VELTCPSender* sender);
  // Forgets a live sender; one with blocks still queued is kept and drained by the loop, its failures
  // reported as diagnostic lines since nobody is left to notify.
  void Release(std::unique_ptr<VELTCPSender> sender);
  int Pending() const;

  ~VELP2PSending();

 private:
  struct Orphan {
    std::unique_ptr<VELTCPSender> sender;
    VELApplication* application;  // whose loop drives it
    std::chrono::steady_clock::time_point deadline;
  };
  void Sweep();
  void Forget(std::vector<Orphan>::iterator orphan);

  std::vector<VELTCPSender*> _live;
  std::vector<Orphan> _orphans;
  int _sweepTimer = 0;
  VELApplication* _sweepApplication = nullptr;
};

#endif
