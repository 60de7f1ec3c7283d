#include "services/VELP2PGroupService.h"

#include <string>
#include <vector>

#include "core/VELP2PConfig.h"
#include "core/VELP2PReceivedMessage.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELP2PPayloads.h"

VEL_IMPLEMENT_CLASS(VELP2PGroupService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PGroupService)

namespace {

constexpr char kServiceName[] = "GroupService";

// A component names one level of the tree: it can be neither empty nor hold the separator.
bool IsComponent(const VELUnicodeString& name) {
  return !name.IsEmpty() && name.Str().find('/') == std::string::npos;
}

}  // namespace

VELP2PGroupService::VELP2PGroupService() {
  VELP2P_TRACE("VELP2PGroupService - Constructor");
}

VELP2PGroupService::~VELP2PGroupService() {
  VELP2P_TRACE("VELP2PGroupService - Destructor");
}

VELResult VELP2PGroupService::Initialize() {
  VELP2P_TRACE("VELP2PGroupService - Initialize");
  VELBaseUnknown* publisher = Publisher();
  if (!publisher)
    return VEL_E_FAIL;
  AddCallback(this, publisher, "VELP2PCurrentGroupModifNotif", &VELP2PGroupService::GroupModificationCB,
              nullptr);
  return VEL_S_OK;
}

void VELP2PGroupService::GroupModificationCB(const char*, VELBaseUnknown*, VELNotification* notification,
                                             void*, VELCallback*) {
  VELP2P_TRACE("VELP2PGroupService - GroupModificationCB");
  auto* change = dynamic_cast<VELP2PGroupModifNotif*>(notification);
  if (!change || !change->getCurrentGroup())
    return;
  VELUnicodeString group(*change->getCurrentGroup());
  if (VEL_SUCCEEDED(PublishGroup(group)))
    VELP2P_TRACE("VELP2PGroupService - GroupModificationCB OK ");
}

VELResult VELP2PGroupService::PublishGroup(VELUnicodeString& group) {
  VELP2P_TRACE("VELP2PGroupService - PublishGroup");
  VELP2PPeer* peer = GetPeer();
  if (!peer)
    return VEL_E_FAIL;
  VELUnicodeString parent;
  VELUnicodeString last;
  if (VEL_FAILED(VELP2PSplitGroup(group, parent, last)))
    return VEL_S_OK;
  std::vector<char> payload = VELP2PWriteGroupComponent(last.Str());
  // The root has an empty parent: its publication goes under the empty group, which every peer accepts.
  VELResult sent = peer->SendToGroup(parent, kServiceName, payload.data(), static_cast<int>(payload.size()));
  if (VEL_FAILED(sent))
    return sent;
  group = parent;
  return sent;
}

VELResult VELP2PGroupService::Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received,
                                      VELIP2PMessage* message) {
  std::string component;
  if (!VELP2PReadGroupComponent(received.payload.data(), received.payload.size(), component))
    return VEL_E_FAIL;
  VELUnicodeString name(component);
  const VELUnicodeString& group = received.group;
  const VELUnicodeString* currentGroup = peer.GetCurrentGroup();
  if (!currentGroup || currentGroup->IsEmpty())
    return VEL_E_FAIL;
  const std::string& current = currentGroup->Str();

  // A sub-group of the current group was entered, or a peer below answers the local publication.
  if (group.Compare(*currentGroup) == 2) {
    if (IsComponent(name))
      peer.NewGroupFound(name);
    return VEL_S_OK;
  }

  // The publisher entered F. Only a peer strictly below F, across a separator, has something to tell: the
  // group /P2PRoot/AB does not lie below /P2PRoot/A.
  if (!IsComponent(name))
    return VEL_S_OK;
  VELUnicodeString entered(group);
  entered.Append("/").Append(name);
  const std::string below = entered.Str() + "/";
  if (current.compare(0, below.size(), below) != 0)
    return VEL_S_OK;
  const size_t end = current.find('/', below.size());
  VELUnicodeString child(
      current.substr(below.size(), end == std::string::npos ? std::string::npos : end - below.size()));
  if (!IsComponent(child))
    return VEL_S_OK;

  std::vector<char> payload = VELP2PWriteGroupComponent(child.Str());
  // Sent only when the publisher is in the local _groupPeers.
  VELResult answered =
      peer.ReplyToPeer(entered, kServiceName, payload.data(), static_cast<int>(payload.size()), message);
  return VEL_SUCCEEDED(answered) ? VEL_S_OK : answered;
}
