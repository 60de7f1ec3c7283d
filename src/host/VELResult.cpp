#include "velp2p/VELResult.h"

const char* VELResultMessage(VELResult result) {
  switch (result) {
    case VEL_S_OK:
      return "success";
    case VEL_E_FAIL:
      return "operation failed";
    case VEL_E_NOINTERFACE:
      return "interface not implemented";
    case VEL_E_OUTOFMEMORY:
      return "out of memory";
    case VEL_E_CLASSNOTREG:
      return "class not registered";
    default:
      return result >= 0 ? "success" : "unknown failure";
  }
}
