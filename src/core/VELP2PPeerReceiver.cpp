#include "core/VELP2PPeerReceiver.h"

#include <cstring>
#include <new>

#include "core/VELP2PLiveness.h"
#include "core/VELP2PNode.h"
#include "core/VELP2PPresence.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"

namespace {

const char kForceGroup[] = "/Force";

}  // namespace

VELApplication* VELP2PPeerReceiver::Loop() const {
  return _node.Loop();
}

std::shared_ptr<VELP2PSending> VELP2PPeerReceiver::Sending() const {
  return _node.Sending();
}

VELResult VELP2PPeerReceiver::Receive(VELP2PHeader& header, bool byUnicast, const VELP2PSource& source) {
  VELP2PPeer& peer = _node.Peer();
  if (!peer.Connected())
    return VEL_E_FAIL;
  if (peer.Collaboration() && byUnicast) {
    const VELUnicodeString* localName = peer.GetPeerName();
    if (localName && *localName == header.GetSendingPeerName() && header.GetMessageGroup() != kForceGroup)
      return VEL_S_OK;
  }
  if (VELP2PLiveness* liveness = _node.Liveness())
    liveness->Heard(header.GetSendingPeerName(), source);
  VELP2PAnswerGuard::Scope scope(_node.Guard(), !byUnicast, source);
  if (!byUnicast && VELP2PPresence::OnlyPresence(peer, header)) {
    ++_routine;
    return VEL_S_OK;
  }
  return VEL_FAILED(peer.Dispatch(header)) ? VEL_E_FAIL : VEL_S_OK;
}

std::string VELP2PPeerReceiver::NameOf(VELP2PPeerInfo* peer) {
  return peer ? peer->name.Str() : std::string();
}

void VELP2PPeerReceiver::Delivered() {
  if (VELP2PPresence* presence = _node.Presence())
    presence->SendReached();
}

void VELP2PPeerReceiver::SendFailed(const std::string& peerName, const std::string& address,
                                    const std::string& service, const char* reason) {
  VELDiagnosticPrintf(_node.Diagnostics(), "send of a <%s> message to %s (%s) failed: %s\n", service.c_str(),
                      peerName.empty() ? "an unknown peer" : peerName.c_str(), address.c_str(), reason);
  VELP2PPeer* peer = &_node.Peer();
  if (!peer->Connected())
    return;
  // A refused connection says the network works; the others may be the local network's doing.
  if (VELP2PPresence* presence = _node.Presence(); presence && reason && std::strcmp(reason, "refused") != 0)
    presence->SendFailed();
  VELUnicodeString name(peerName.c_str());
  auto* notification =
      new (std::nothrow) VELP2PSendFailedNotif(&name, address.c_str(), service.c_str(), reason);
  if (!notification)
    return;
  DispatchCallbacks(peer, notification);
  notification->Release();
}

VELResult VELP2PPeerReceiver::GetSenderIdentity(int mode, VELP2PSenderIdentity& identity) {
  VELP2PPeer* peer = &_node.Peer();
  const VELUnicodeString* name = peer->GetPeerName();
  if (!name || name->GetLengthInByte() > VELP2P_HEADER_MAX_NAME ||
      std::strlen(name->CastToCharPtr()) != static_cast<size_t>(name->GetLengthInByte())) {
    return VEL_E_FAIL;
  }
  identity.name = name->CastToCharPtr();
  identity.otherAddress = 0;
  identity.otherPort = 0;
  // A multicast message tells its receivers where the sender can be answered point to point, and a unicast
  // one where it listens to the group.
  VELListPtrVELP2PEndPoint* others = mode == 1 ? peer->GetUnicastEndPoints() : peer->GetMulticastEndPoints();
  if (others && others->Size() >= 1) {
    VELP2PEndPoint* other = (*others)[1];
    if (const VELP2PEndPointInfo* info = other ? other->GetEndPointInfo() : nullptr) {
      identity.otherAddress = info->address;
      identity.otherPort = info->port;
    }
  }
  return VEL_S_OK;
}

// The header's local-peer form lives with the peer, so that the wire layout knows nothing above it. The
// local peer is the default one.
VELResult VELP2PHeader::Initialize(VELUnicodeString& group, const char* serviceName,
                                   unsigned int senderAddress, unsigned short senderPort, char* data,
                                   int length, int mode) {
  VELP2PSenderIdentity identity;
  VELP2PNode* node = VELP2PNode::Default();
  if (GetFixedPart() || !serviceName || !data || !node ||
      VEL_FAILED(node->Receiver().GetSenderIdentity(mode, identity))) {
    return VEL_E_FAIL;
  }
  return Build(group, serviceName, identity.name.c_str(), senderAddress, senderPort, identity.otherAddress,
               identity.otherPort, data, length, mode);
}
