// The local user's status change: multicast to every peer; the local values change when it comes back.
#include <string>

#include "host/VELLastError.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELP2PPayloads.h"

VELResult VELP2PPeer::ChangeP2PStatus(VELP2PUserStatus status, const VELUnicodeString& desc) {
  VELP2P_TRACE("VELP2PPeer - ChangeP2PStatus");
  // A description that cannot fit one datagram would reach no peer, the local one included.
  if (desc.GetLengthInByte() > VELP2PMaxStatusDescriptionBytes())
    return VELFail(VELP2P_ERROR_DESCRIPTION_TOO_LONG, std::to_string(desc.GetLengthInByte()) +
                                                          " bytes, at most " +
                                                          std::to_string(VELP2PMaxStatusDescriptionBytes()));
  std::vector<char> payload = VELP2PWriteStatus(kVELP2PStatusChange, status, desc.Str());
  VELUnicodeString group("/");
  (void)SendToGroup(group, "StatusService", payload.data(), static_cast<int>(payload.size()));
  return VEL_S_OK;
}
