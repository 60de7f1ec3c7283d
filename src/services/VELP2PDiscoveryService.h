// The discovery service: finds the peers of every group, for VELP2PPeer::CrossGroupPeerSearch.
#ifndef VELP2P_SERVICES_VELP2PDISCOVERYSERVICE_H
#define VELP2P_SERVICES_VELP2PDISCOVERYSERVICE_H

#include "services/VELP2PPeerService.h"

// A search multicasts the peer message with command '1' under the searcher's current group. Every peer in
// the standard mode hears it whatever its own group (this service accepts every group), records the
// searcher among its cross-group peers and answers point to point with its own peer message, command '0',
// under its own group. The searcher records each answering peer with that group and reports it as a search
// result. It neither announces itself on group changes nor leaves on close: the peer service does that.
class VELP2PDiscoveryService : public VELP2PPeerService {
  VEL_DECLARE_CLASS(VELP2PDiscoveryService)
 public:
  VELP2PDiscoveryService();

  VELResult Initialize() override;
  const char* GetServiceName() override { return "DiscoveryService"; }
  // Accepts every group.
  VELResult internalFilterMessageFromGroup(VELUnicodeString& group) override;

  // Multicasts the search request to the current group.
  void PeerSearchCB(const char* event, VELBaseUnknown* publisher, VELNotification* notification, void* data,
                    VELCallback* callback);

 protected:
  ~VELP2PDiscoveryService() override;

  // Receives a search request or a search answer.
  VELResult Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage* message) override;
};

#endif
