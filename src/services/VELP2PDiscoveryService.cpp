#include "services/VELP2PDiscoveryService.h"

#include "core/VELP2PReceivedMessage.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PPeer.h"

VEL_IMPLEMENT_CLASS(VELP2PDiscoveryService, VELP2PPeerService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PDiscoveryService)

namespace {

constexpr char kServiceName[] = "DiscoveryService";
constexpr char kAnswer = '0';
constexpr char kRequest = '1';

}  // namespace

VELP2PDiscoveryService::VELP2PDiscoveryService() {
  VELP2P_TRACE("VELP2PDiscoveryService - Constructor");
}

VELP2PDiscoveryService::~VELP2PDiscoveryService() {
  VELP2P_TRACE("VELP2PDiscoveryService - Destructor");
}

VELResult VELP2PDiscoveryService::Initialize() {
  VELP2P_TRACE("VELP2PDiscoveryService - Initialize");
  VELBaseUnknown* publisher = Publisher();
  if (!publisher)
    return VEL_E_FAIL;
  AddCallback(this, publisher, "VELP2PPeerSearchNotif", &VELP2PDiscoveryService::PeerSearchCB, nullptr);
  // Without a peer message the service still receives; it only cannot send.
  (void)StreamPeerMessage();
  return VEL_S_OK;
}

VELResult VELP2PDiscoveryService::internalFilterMessageFromGroup(VELUnicodeString&) {
  return VEL_S_OK;
}

void VELP2PDiscoveryService::PeerSearchCB(const char*, VELBaseUnknown*, VELNotification*, void*,
                                          VELCallback*) {
  VELP2P_TRACE("VELP2PDiscoveryService - PeerSearchCB");
  VELP2PPeer* peer = GetPeer();
  const VELUnicodeString* current = peer ? peer->GetCurrentGroup() : nullptr;
  if (!current || current->IsEmpty() || !SetCommand(kRequest))
    return;
  VELUnicodeString group(*current);
  (void)peer->SendToGroup(group, kServiceName, _peerMessage.data(), GetPeerMessageLength());
}

VELResult VELP2PDiscoveryService::Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received,
                                          VELIP2PMessage* message) {
  VELUnicodeString& sender = received.sender;
  VELUnicodeString& group = received.group;
  // The first record goes to the directory, which may discard it at once as a duplicate; the second
  // serves as the sender's address for the answer.
  std::unique_ptr<VELP2PPeerInfo> stored = ParseSender(received);
  if (!stored)
    return VEL_E_FAIL;
  std::unique_ptr<VELP2PPeerInfo> address = ParseSender(received);
  if (!address)
    return VEL_E_FAIL;

  switch (received.payload[0]) {
    case kAnswer:
      if (VEL_SUCCEEDED(peer.NewPeerCrossGroupDiscovered(stored.get(), group)))
        stored.release();
      peer.FireSearchResult(sender, group);
      // A peer that answered from the current group is one of its peers (answers come point to point, so
      // this answers nothing). One from another group stays among the search results only: the current
      // group would never hear it leave.
      if (const VELUnicodeString* current = peer.GetCurrentGroup(); current && group.Compare(*current) == 2)
        (void)ReceivePeerMessage(peer, received, message);
      break;
    case kRequest: {
      if (VEL_SUCCEEDED(peer.NewPeerCrossGroupDiscovered(stored.get(), group)))
        stored.release();
      const VELUnicodeString* localName = peer.GetPeerName();
      if (!received.multicast || !localName || sender.Compare(*localName) == 2)
        break;
      const VELUnicodeString* current = peer.GetCurrentGroup();
      if (!current || current->IsEmpty())
        return VEL_E_FAIL;
      if (!SetCommand(kAnswer))
        break;
      VELUnicodeString answerGroup(*current);
      (void)peer.SendToPeer(answerGroup, kServiceName, _peerMessage.data(), GetPeerMessageLength(),
                            address.get());
      break;
    }
    default:
      break;
  }
  return VEL_S_OK;
}
