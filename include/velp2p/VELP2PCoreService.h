// The base of the library's own services: reads every received message once, and filters groups.
#ifndef VELP2P_VELP2PCORESERVICE_H
#define VELP2P_VELP2PCORESERVICE_H

#include <vector>

#include "velp2p/VELP2PService.h"
#include "velp2p/VELP2PTypes.h"

struct VELP2PReceivedMessage;

class VELP2P_API VELP2PCoreService : public VELP2PService {
  VEL_DECLARE_CLASS(VELP2PCoreService)
 public:
  VELP2PCoreService();

  // Nothing to prepare unless a service says otherwise.
  VELResult Initialize() override;
  // Refuses a message without a local peer or whose group, sender or payload cannot be read; hands every
  // other one to Receive.
  VELResult HandleMessage(VELIP2PMessage* message) override;
  // 0 or more accepts a message of that group; the default applies the group rule, or accepts every group
  // for a service built for every group.
  virtual VELResult internalFilterMessageFromGroup(VELUnicodeString& group);

 protected:
  // everyGroup: the service takes traffic of every group, and no group becomes known through it.
  explicit VELP2PCoreService(bool everyGroup);
  ~VELP2PCoreService() override;

  // Handles one message read by HandleMessage; message is the one received, valid during the call.
  virtual VELResult Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage* message);
  // The publisher of the service's peer, which services subscribe to in Initialize; null without a peer.
  VELBaseUnknown* Publisher() const;
  // The endpoint records the local peer publishes: those of its multicast endpoints, then its unicast ones.
  static std::vector<const VELP2PEndPointInfo*> LocalRecords(VELP2PPeer& peer);

 private:
  bool _everyGroup;
};

#endif
