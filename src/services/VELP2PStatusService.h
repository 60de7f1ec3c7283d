// The status service: carries each user's status and description between peers.
#ifndef VELP2P_SERVICES_VELP2PSTATUSSERVICE_H
#define VELP2P_SERVICES_VELP2PSTATUSSERVICE_H

#include "velp2p/VELP2PCoreService.h"
#include "velp2p/VELP2PTypes.h"

class VELIBBStreamer;

class VELP2PStatusService : public VELP2PCoreService {
  VEL_DECLARE_CLASS(VELP2PStatusService)
 public:
  VELP2PStatusService();

  // Accepts every group.
  const char* GetServiceName() override { return "StatusService"; }

  // Writes a status payload with streamer; the payload stays the streamer's until ReleaseStreamedBuffer.
  // On failure the streamer has been released (the caller's reference) and must not be released again.
  static VELResult StreamStatus(VELIBBStreamer* streamer, unsigned char kind, VELP2PUserStatus status,
                                const VELUnicodeString& desc, void*& payload, int& length);

  // The most description bytes a status change may carry so that the block fits one multicast datagram.
  static int MaxDescriptionBytes();

 protected:
  ~VELP2PStatusService() override;

  // Applies a change, an update or a birth to the status store and the local status.
  VELResult Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage* message) override;
};

#endif
