// Records the reason of a failure for the calling thread (read back through velp2p/VELLastError.h).
#ifndef VELP2P_HOST_VELLASTERROR_H
#define VELP2P_HOST_VELLASTERROR_H

#include <string>

#include "velp2p/VELLastError.h"
#include "velp2p/VELResult.h"

// Records code with its fixed text, followed by ": detail" when detail is not empty; returns failure, so
// that a failure site reads `return VELFail(VELP2P_ERROR_UNKNOWN_PEER, name);`.
VELResult VELFail(VELP2PErrorCode code, const std::string& detail = std::string(),
                  VELResult failure = VEL_E_FAIL);

// The calling thread's record as it stands, to be put back when an operation that looked at the reasons
// of its own attempts succeeds after all: a success leaves the caller's record as it was.
struct VELLastErrorRecord {
  int code;
  std::string text;
};
VELLastErrorRecord VELSaveLastError();
void VELRestoreLastError(VELLastErrorRecord record);

#endif
