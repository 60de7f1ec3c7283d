// The base of the library's own services: a service with an overridable group filter.
#ifndef VELP2P_VELP2PCORESERVICE_H
#define VELP2P_VELP2PCORESERVICE_H

#include "velp2p/VELP2PService.h"

class VELP2P_API VELP2PCoreService : public VELP2PService {
  VEL_DECLARE_CLASS(VELP2PCoreService)
 public:
  VELP2PCoreService();

  // 0 or more accepts a message of that group; the default applies the group rule.
  virtual VELResult internalFilterMessageFromGroup(VELUnicodeString& group);

 protected:
  ~VELP2PCoreService() override;
};

#endif
