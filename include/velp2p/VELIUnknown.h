// The root of every interface: reference counting and interface query.
#ifndef VELP2P_VELIUNKNOWN_H
#define VELP2P_VELIUNKNOWN_H

#include "velp2p/VELExport.h"
#include "velp2p/VELIID.h"
#include "velp2p/VELResult.h"

// Identifier of VELIUnknown itself; every object answers a query for it.
VELP2P_API extern const VELIID IID_VELIUnknown;

class VELP2P_API VELIUnknown {
 public:
  virtual unsigned long AddRef() = 0;
  virtual unsigned long Release() = 0;
  // On success *object holds the interface with one more reference; on failure it is null and the result
  // negative.
  virtual VELResult QueryInterface(const VELIID& iid, void** object) = 0;

 protected:
  virtual ~VELIUnknown() = default;
};

#endif
