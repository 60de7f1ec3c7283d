#include "core/VELP2PClosing.h"

#include "velp2p/VELP2PCloseReason.h"

namespace {

const char* g_reason = nullptr;

}  // namespace

VELP2PClosing::VELP2PClosing(const char* reason) : _outer(g_reason) {
  g_reason = reason;
}

VELP2PClosing::~VELP2PClosing() {
  g_reason = _outer;
}

const char* VELP2PCloseReason() {
  return g_reason;
}
