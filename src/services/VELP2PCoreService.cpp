#include "velp2p/VELP2PCoreService.h"

#include "host/VELTraceMacros.h"

VEL_IMPLEMENT_CLASS(VELP2PCoreService, VELP2PService)

VELP2PCoreService::VELP2PCoreService() {
  VELP2P_TRACE("VELP2PCoreService - Constructor");
}

VELP2PCoreService::~VELP2PCoreService() {
  VELP2P_TRACE("VELP2PCoreService - Destructor");
}

VELResult VELP2PCoreService::internalFilterMessageFromGroup(VELUnicodeString& group) {
  VELP2P_TRACE("VELP2PCoreService - FilterMessageFromGroup");
  return FilterMessageFromGroup(group);
}
