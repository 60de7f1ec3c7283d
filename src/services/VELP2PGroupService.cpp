#include "velp2p/VELP2PGroupService.h"

#include <cstring>

#include "core/VELP2PConfig.h"
#include "host/VELTraceMacros.h"
#include "services/VELP2PReceivedMessage.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELIBBStreamer.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"

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
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  VELBaseUnknown* publisher = peer ? peer->GetP2PPublisher() : nullptr;
  if (!publisher)
    return VEL_E_FAIL;
  AddCallback(this, publisher, "VELP2PCurrentGroupModifNotif", &VELP2PGroupService::GroupModificationCB,
              nullptr);
  return VEL_S_OK;
}

VELResult VELP2PGroupService::StreamGroup(const VELUnicodeString& name, void*& payload, int& length) {
  if (!_streamer)
    return VEL_E_FAIL;
  if (VEL_FAILED(_streamer->BeginStream())) {
    VELP2P_TRACE("VELP2PGroupService - StreamGroup failed BeginStream");
    return VEL_E_FAIL;
  }
  if (VEL_FAILED(_streamer->StreamString(name.CastToCharPtr()))) {
    VELP2P_TRACE("VELP2PGroupService - StreamGroup failed StreamString");
    return VEL_E_FAIL;
  }
  payload = _streamer->EndStream(length);
  if (!payload) {
    VELP2P_TRACE("VELP2PGroupService - StreamGroup failed EndStream");
    return VEL_E_FAIL;
  }
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
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (!_streamer || !peer)
    return VEL_E_FAIL;
  VELUnicodeString parent;
  VELUnicodeString last;
  if (VEL_FAILED(VELP2PSplitGroup(group, parent, last)))
    return VEL_S_OK;
  void* payload = nullptr;
  int length = 0;
  if (VEL_FAILED(StreamGroup(last, payload, length)))
    return VEL_E_FAIL;
  // The root has an empty parent: its publication goes under the empty group, which every peer accepts.
  VELResult sent = peer->SendToGroup(parent, kServiceName, static_cast<char*>(payload), length);
  _streamer->ReleaseStreamedBuffer();
  if (VEL_FAILED(sent))
    return sent;
  group = parent;
  return sent;
}

VELResult VELP2PGroupService::HandleMessage(VELIP2PMessage* message) {
  VELP2P_TRACE("VELP2PGroupService - HandleMessage");
  if (!message)
    return VEL_E_FAIL;
  VELP2PReceivedMessage received;
  VELResult result = received.Read(message);
  if (VEL_FAILED(result))
    return result;
  // The component is read as a zero-terminated text, which must end inside the bytes received.
  const char* bytes = received.payload.data();
  const void* terminator =
      received.payload.empty() ? nullptr : std::memchr(bytes, 0, received.payload.size());
  if (!terminator)
    return VEL_E_FAIL;
  VELUnicodeString name(bytes, static_cast<int>(static_cast<const char*>(terminator) - bytes));
  return ReceivePublishedGroup(name, message);
}

VELResult VELP2PGroupService::ReceivePublishedGroup(VELUnicodeString& name, VELIP2PMessage* message) {
  VELP2P_TRACE("VELP2PGroupService - ReceivePublishedGroup");
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (!message || !peer)
    return VEL_E_FAIL;
  VELUnicodeString group;
  VELResult result = message->GetMessageGroup(group);
  if (VEL_FAILED(result))
    return result;
  const VELUnicodeString* currentGroup = peer->GetCurrentGroup();
  if (!currentGroup || currentGroup->IsEmpty())
    return VEL_E_FAIL;
  const std::string& current = currentGroup->Str();

  // A sub-group of the current group was entered, or a peer below answers the local publication.
  if (group.Compare(*currentGroup) == 2) {
    if (IsComponent(name))
      peer->NewGroupFound(name);
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

  void* payload = nullptr;
  int length = 0;
  if (VEL_FAILED(StreamGroup(child, payload, length)))
    return VEL_E_FAIL;
  // Sent only when the publisher is in the local _groupPeers.
  VELResult answered = peer->ReplyToPeer(entered, kServiceName, static_cast<char*>(payload), length, message);
  _streamer->ReleaseStreamedBuffer();
  return VEL_SUCCEEDED(answered) ? VEL_S_OK : answered;
}
