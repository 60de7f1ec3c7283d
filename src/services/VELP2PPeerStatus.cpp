// The local user's status change: multicast to every peer; the local values change when it comes back.
#include "host/VELLastError.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELIBBStreamer.h"
#include "velp2p/VELP2PMessage.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PStatusService.h"

VELResult VELP2PPeer::ChangeP2PStatus(VELP2PUserStatus status, const VELUnicodeString& desc) {
  VELP2P_TRACE("VELP2PPeer - ChangeP2PStatus");
  // A description that cannot fit one datagram would reach no peer, the local one included.
  if (desc.GetLengthInByte() > VELP2PStatusService::MaxDescriptionBytes())
    return VELFail(VELP2P_ERROR_DESCRIPTION_TOO_LONG,
                   std::to_string(desc.GetLengthInByte()) + " bytes, at most " +
                       std::to_string(VELP2PStatusService::MaxDescriptionBytes()));
  VELIBBStreamer* streamer = VELP2PMessage::NewStreamer();
  if (!streamer) {
    VELP2P_TRACE("VELP2PPeer - ChangeP2PStatus getting streamer");
    return VELFail(VELP2P_ERROR_OUT_OF_MEMORY);
  }
  void* payload = nullptr;
  int length = 0;
  if (VEL_FAILED(VELP2PStatusService::StreamStatus(streamer, '0', status, desc, payload, length))) {
    VELP2P_TRACE("VELP2PPeer - ChangeP2PStatus Streaming status");
    return VEL_E_FAIL;
  }
  VELUnicodeString group("/");
  (void)SendToGroup(group, "StatusService", static_cast<char*>(payload), length);
  if (payload)
    streamer->ReleaseStreamedBuffer();
  streamer->Release();
  return VEL_S_OK;
}
