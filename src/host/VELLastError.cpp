#include "host/VELLastError.h"

namespace {

struct LastError {
  int code = VELP2P_ERROR_NONE;
  std::string text;
};

thread_local LastError t_lastError;

}  // namespace

const char* VELP2PErrorCodeText(int code) {
  switch (code) {
    case VELP2P_ERROR_NONE:
      return "";
    case VELP2P_ERROR_NOT_CONNECTED:
      return "not connected";
    case VELP2P_ERROR_ALREADY_STARTED:
      return "already started";
    case VELP2P_ERROR_UNKNOWN_PEER:
      return "unknown peer";
    case VELP2P_ERROR_EMPTY_DATA:
      return "empty data";
    case VELP2P_ERROR_TOO_LONG:
      return "data too long";
    case VELP2P_ERROR_DESCRIPTION_TOO_LONG:
      return "description too long";
    case VELP2P_ERROR_BAD_GROUP_NAME:
      return "bad group name";
    case VELP2P_ERROR_AT_ROOT:
      return "already in the root group";
    case VELP2P_ERROR_NO_STATUS:
      return "no status known";
    case VELP2P_ERROR_BAD_ARGUMENT:
      return "bad argument";
    case VELP2P_ERROR_BAD_CONFIGURATION:
      return "bad configuration";
    case VELP2P_ERROR_NETWORK:
      return "network failure";
    case VELP2P_ERROR_OUT_OF_MEMORY:
      return "out of memory";
    case VELP2P_ERROR_WRONG_MODE:
      return "wrong mode";
    case VELP2P_ERROR_QUEUE_FULL:
      return "send queue full";
    case VELP2P_ERROR_BAD_OPTION:
      return "bad option";
    case VELP2P_ERROR_BUSY:
      return "busy";
    case VELP2P_ERROR_FAILED:
      return "failed";
    case VELP2P_ERROR_NO_LOOP:
      return "no event loop";
    default:
      return "unknown reason";
  }
}

VELResult VELFail(VELP2PErrorCode code, const std::string& detail, VELResult failure) {
  t_lastError.code = code;
  t_lastError.text = VELP2PErrorCodeText(code);
  if (!detail.empty())
    t_lastError.text += ": " + detail;
  return failure;
}

VELLastErrorRecord VELSaveLastError() {
  return VELLastErrorRecord{t_lastError.code, t_lastError.text};
}

void VELRestoreLastError(VELLastErrorRecord record) {
  t_lastError.code = record.code;
  t_lastError.text = std::move(record.text);
}

int VELP2PGetLastErrorCode() {
  return t_lastError.code;
}

const char* VELP2PGetLastErrorText() {
  return t_lastError.text.c_str();
}

void VELP2PClearLastError() {
  t_lastError.code = VELP2P_ERROR_NONE;
  t_lastError.text.clear();
}
