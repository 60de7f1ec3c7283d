// The bus message of the host framework; its one service to the library is handing out message streamers.
#ifndef VELP2P_HOST_VELBBMESSAGE_H
#define VELP2P_HOST_VELBBMESSAGE_H

#include "velp2p/VELBaseUnknown.h"

class VELBBMessage : public VELBaseUnknown {
  VEL_DECLARE_CLASS(VELBBMessage)
 public:
  VELBBMessage();
  VELBBMessage(const VELBBMessage& other) = default;
  VELBBMessage& operator=(const VELBBMessage& other) = default;

  // A query for IID_VELIBBStreamer creates a new streamer and returns it with one reference; the streamer
  // does not depend on the message, which may be released right away. Other identifiers go to VELBaseUnknown.
  VELResult QueryInterface(const VELIID& iid, void** object) override;

 protected:
  ~VELBBMessage() override;
};

#endif
