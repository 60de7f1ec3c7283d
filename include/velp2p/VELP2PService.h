// The base of every service: a named protocol handler that the local peer hands its traffic to.
#ifndef VELP2P_VELP2PSERVICE_H
#define VELP2P_VELP2PSERVICE_H

#include "velp2p/VELBaseUnknown.h"
#include "velp2p/VELUnicodeString.h"

class VELIP2PMessage;
class VELIBBStreamer;
class VELP2PPeer;

class VELP2P_API VELP2PService : public VELBaseUnknown {
  VEL_DECLARE_CLASS(VELP2PService)
 public:
  VELP2PService();

  // Called once, right after creation, by VELP2PPeer::RegisterService, with GetPeer() set; a negative
  // result keeps the service from being registered.
  virtual VELResult Initialize() = 0;
  // The service's name on the wire (at most 31 bytes).
  virtual const char* GetServiceName() = 0;
  // Handles one received message; the message is valid only during the call.
  virtual VELResult HandleMessage(VELIP2PMessage* message) = 0;

  // The group rule: accepts the current group, every group above it and the empty group; traffic from
  // below the current group only makes the sub-group it passes through known. May append "/" to group.
  VELResult FilterMessageFromGroup(VELUnicodeString& group);

  // The peer that registered the service, which it serves; null before the registration and once the peer
  // let it go.
  VELP2PPeer* GetPeer() const { return _peer; }
  // Set by the registering peer.
  void SetPeer(VELP2PPeer* peer) { _peer = peer; }

 protected:
  ~VELP2PService() override;

  VELIBBStreamer* _streamer;  // this service's streamer, one reference; null when none could be had

 private:
  VELP2PPeer* _peer = nullptr;  // not owned: the peer owns the service
};

#endif
