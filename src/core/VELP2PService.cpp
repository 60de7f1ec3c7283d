#include "velp2p/VELP2PService.h"

#include "host/VELTraceMacros.h"
#include "velp2p/VELIBBStreamer.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELP2PMessage.h"

VEL_IMPLEMENT_CLASS(VELP2PService, VELBaseUnknown)

namespace {

// True when text begins with prefix as a whole group: the prefix is followed by a separator or ends
// there, so that /P2PRoot/AB does not begin with /P2PRoot/A.
bool BeginsWithGroup(const std::string& text, const std::string& prefix) {
  if (text.compare(0, prefix.size(), prefix) != 0)
    return false;
  if (text.size() == prefix.size())
    return true;
  return (!prefix.empty() && prefix.back() == '/') || text[prefix.size()] == '/';
}

}  // namespace

VELP2PService::VELP2PService() : _streamer(nullptr) {
  VELP2P_TRACE("VELP2PService - Constructor");
  _streamer = VELP2PMessage::NewStreamer();
}

VELP2PService::~VELP2PService() {
  VELP2P_TRACE("VELP2PService - Destructor");
  if (_streamer)
    _streamer->Release();
  _streamer = nullptr;
}

VELResult VELP2PService::FilterMessageFromGroup(VELUnicodeString& group) {
  VELP2P_TRACE("VELP2PService - FilterMessageFromGroup");
  VELP2PPeer* peer = GetPeer();
  if (!peer || !peer->GetCurrentGroup())
    return VEL_E_FAIL;
  const std::string current = peer->GetCurrentGroup()->Str();
  if (group.IsEmpty())
    return VEL_S_OK;
  // The current group itself and every group above it.
  if (BeginsWithGroup(current, group.Str()))
    return VEL_S_OK;
  group.Append("/");
  const std::string below = current + "/";
  if (group.Str().compare(0, below.size(), below) != 0)
    return VEL_E_FAIL;
  // Traffic from below only tells which child of the current group it passes through.
  size_t end = group.Str().find('/', below.size());
  VELUnicodeString child(group.Str().substr(below.size(), end - below.size()));
  if (!child.IsEmpty())
    peer->NewGroupFound(child);
  return VEL_E_FAIL;
}
