// The senders of a node's TCP endpoints, and those of released endpoints that still deliver their queues.
#ifndef VELP2P_TRANSPORT_VELP2PSENDING_H
#define VELP2P_TRANSPORT_VELP2PSENDING_H

#include <memory>
#include <vector>

#include "host/VELDiagnosticSink.h"
#include "transport/VELTCPSender.h"

// Holds no sender: a live one belongs to its endpoint, a released one to its loop. The loop, this object
// (shared by the node and its endpoints) and the senders may therefore be destroyed in any order.
class VELP2PSending {
 public:
  void Track(VELTCPSender* sender);
  // Forgets a live sender. One with blocks still queued is handed to its loop, which drives it until the
  // queue is delivered or 30 s have passed, and destroys it with itself at the latest; its failures are
  // reported as diagnostic lines since nobody is left to notify.
  void Release(std::unique_ptr<VELTCPSender> sender);
  int Pending() const;
  // Where the diagnostic lines of the senders released from now on go.
  void SetDiagnostics(VELDiagnosticSink diagnostics) { _diagnostics = std::move(diagnostics); }

  // While one lives, the blocks a TCP endpoint queues go to its sender's automatic lane: they are sends
  // the peer makes on its own (answers), whose bounds are not the application's.
  class Automatic {
   public:
    Automatic(VELP2PSending& sending, bool automatic);
    ~Automatic();
    Automatic(const Automatic&) = delete;
    Automatic& operator=(const Automatic&) = delete;

   private:
    VELP2PSending& _sending;
    bool _outer;
  };
  VELTCPSender::Lane CurrentLane() const {
    return _automatic ? VELTCPSender::Lane::kAutomatic : VELTCPSender::Lane::kApplication;
  }

 private:
  class Released;

  std::vector<VELTCPSender*> _live;
  std::vector<std::weak_ptr<Released>> _released;  // expire as their loops destroy them
  bool _automatic = false;
  VELDiagnosticSink _diagnostics;
};

#endif
