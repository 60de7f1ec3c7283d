// The group service: spreads which sub-groups exist by publishing every group the local peer enters to its
// parent group.
#ifndef VELP2P_SERVICES_VELP2PGROUPSERVICE_H
#define VELP2P_SERVICES_VELP2PGROUPSERVICE_H

#include "velp2p/VELNotification.h"
#include "velp2p/VELP2PCoreService.h"

// Every message of the service carries one group name component, written with the streamer as a single
// string: the component's bytes and one zero byte. A publication goes by multicast to the parent P of the
// group P/N just entered and carries N; peers in P learn the sub-group N. Peers deeper inside P/N answer
// point to point, under the group P/N, with the component of their own group right below P/N, so that the
// publisher learns it as a sub-group of its new group.
class VELP2PGroupService : public VELP2PCoreService {
  VEL_DECLARE_CLASS(VELP2PGroupService)
 public:
  VELP2PGroupService();

  VELResult Initialize() override;
  const char* GetServiceName() override { return "GroupService"; }

  // Publishes the new current group to its parent.
  void GroupModificationCB(const char* event, VELBaseUnknown* publisher, VELNotification* notification,
                           void* data, VELCallback* callback);

 protected:
  ~VELP2PGroupService() override;

  // Applies one publication or answer: reads the component, refusing a payload without its zero byte.
  VELResult Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage* message) override;

 private:
  // Publishes the last component of group to its parent; on success group becomes the parent. A group that
  // cannot be split publishes nothing and succeeds.
  VELResult PublishGroup(VELUnicodeString& group);
};

#endif
