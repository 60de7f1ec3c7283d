#include "core/VELP2PClosing.h"

#include "velp2p/VELP2PCloseReason.h"

namespace {

// Valid while the close notification is fired, on the thread that fires it.
thread_local const char* t_reason = nullptr;

}  // namespace

VELP2PClosing::VELP2PClosing(const char* reason) : _outer(t_reason) {
  t_reason = reason;
}

VELP2PClosing::~VELP2PClosing() {
  t_reason = _outer;
}

const char* VELP2PCloseReason() {
  return t_reason;
}
