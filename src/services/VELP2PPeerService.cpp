#include "services/VELP2PPeerService.h"

#include <new>
#include <vector>

#include "core/VELP2PLiveness.h"
#include "core/VELP2PNode.h"
#include "core/VELP2PReceivedMessage.h"
#include "core/VELP2PRecordFacts.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELP2PPayloads.h"

VEL_IMPLEMENT_CLASS(VELP2PPeerService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PPeerService)

namespace {

constexpr char kServiceName[] = "PeerService";
constexpr char kPresent = '0';
constexpr char kLeave = '1';
constexpr char kStillHere = '2';
// The current group of the local peer; false when it has none yet.
bool CurrentGroup(VELP2PPeer* peer, VELUnicodeString& group) {
  const VELUnicodeString* current = peer ? peer->GetCurrentGroup() : nullptr;
  if (!current || current->IsEmpty())
    return false;
  group = *current;
  return true;
}

}  // namespace

VELP2PPeerService::VELP2PPeerService() {
  VELP2P_TRACE("VELP2PPeerService - Constructor");
}

VELP2PPeerService::~VELP2PPeerService() {
  VELP2P_TRACE("VELP2PPeerService - Destructor");
}

VELResult VELP2PPeerService::Initialize() {
  VELP2P_TRACE("VELP2PPeerService - Initialize");
  VELBaseUnknown* publisher = Publisher();
  if (!publisher)
    return VEL_E_FAIL;
  AddCallback(this, publisher, "VELP2PCurrentGroupModifNotif", &VELP2PPeerService::GroupModificationCB,
              nullptr);
  AddCallback(this, publisher, "VELP2PClosePeerNotif", &VELP2PPeerService::ClosePeerCB, nullptr);
  return StreamPeerMessage();
}

VELResult VELP2PPeerService::StreamPeerMessage() {
  VELP2PPeer* peer = GetPeer();
  if (!peer)
    return VEL_E_FAIL;
  const std::vector<const VELP2PEndPointInfo*> records = LocalRecords(*peer);
  if (records.size() > 0xFFFF)
    return VEL_E_FAIL;
  _peerMessage = VELP2PWritePeerRecords(kPresent, records);
  return VEL_S_OK;
}

bool VELP2PPeerService::SetCommand(char command) {
  if (_peerMessage.empty())
    return false;
  _peerMessage[0] = command;
  return true;
}

std::unique_ptr<VELP2PPeerInfo> VELP2PPeerService::ParseSender(const VELP2PReceivedMessage& received) const {
  VELP2PPeerRecords body;
  if (!VELP2PReadPeerRecords(received.payload.data(), received.payload.size(), body))
    return nullptr;
  std::unique_ptr<VELP2PPeerInfo> record(new (std::nothrow)
                                             VELP2PPeerInfo(received.sender, body.count, received.group));
  if (!record || VEL_FAILED(record->Initialize(body.records, body.recordBytes)))
    return nullptr;
  if (VELP2PPeer* peer = GetPeer(); peer && peer->Node())
    (void)VELP2PRecordFacts::Attach(*record, peer->Node()->Guard());
  return record;
}

VELResult VELP2PPeerService::Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received,
                                     VELIP2PMessage* message) {
  VELUnicodeString current;
  if (!CurrentGroup(&peer, current))
    return VEL_E_FAIL;
  // The group rule lets the groups above the current one through; presence only counts in the group itself.
  if (received.group.Compare(current) != 2)
    return VEL_E_FAIL;
  return ReceivePeerMessage(peer, received, message);
}

VELResult VELP2PPeerService::ReceivePeerMessage(VELP2PPeer& peer, VELP2PReceivedMessage& received,
                                                VELIP2PMessage* message) {
  VELP2P_TRACE("VELP2PPeerService - ReceivePeerMessage");
  VELP2PPeerRecords body;
  if (!VELP2PReadPeerRecords(received.payload.data(), received.payload.size(), body))
    return VEL_E_FAIL;
  VELUnicodeString& sender = received.sender;
  switch (body.command) {
    case kStillHere:
    case kPresent: {
      std::unique_ptr<VELP2PPeerInfo> record = ParseSender(received);
      if (!record)
        return VEL_E_FAIL;
      // Peers announce themselves again with this command. From a known peer it is only a sign of life,
      // which the receive path has noted already, unless it comes from other endpoints (a restart the
      // announcement of which was lost); from any other it is an announcement, and answered as one.
      if (body.command == kStillHere) {
        if (!received.multicast)
          return VEL_S_OK;
        VELHashDicVELP2PPeerInfo* group = peer.GetGroupPeers();
        if (VELP2PPeerInfo* known = group ? group->Locate(sender) : nullptr) {
          VELP2PLiveness* liveness = peer.Node()->Liveness();
          if (liveness && liveness->Restarted(VELP2PLiveness::Directory::kGroup, record.get(), *known))
            record.release();
          return VEL_S_OK;
        }
      }
      // The peer takes the record over only when it accepts it.
      if (VEL_SUCCEEDED(peer.NewPeerDiscovered(record.get())))
        record.release();
      // Answers travel point to point and are never answered, so presence cannot echo back and forth. The
      // answer follows the directory update because the peer answers only senders it has in _groupPeers.
      const VELUnicodeString* localName = peer.GetPeerName();
      if (received.multicast && localName && sender.Compare(*localName) != 2 && SetCommand(kPresent)) {
        (void)peer.ReplyToPeer(_announcedGroup, GetServiceName(), _peerMessage.data(), GetPeerMessageLength(),
                               message);
      }
      return VEL_S_OK;
    }
    case kLeave:
      (void)peer.NewPeerDestroyed(sender);
      return VEL_S_OK;
    default:
      return VEL_S_OK;
  }
}

void VELP2PPeerService::GroupModificationCB(const char*, VELBaseUnknown*, VELNotification* notification,
                                            void*, VELCallback*) {
  VELP2P_TRACE("VELP2PPeerService - GroupModificationCB");
  VELP2PPeer* peer = GetPeer();
  auto* change = dynamic_cast<VELP2PGroupModifNotif*>(notification);
  if (!peer || !change || !change->getCurrentGroup())
    return;
  VELUnicodeString group(*change->getCurrentGroup());
  if (!_announcedGroup.IsEmpty() && _announcedGroup.Compare(group) != 2) {
    // Without the leave, the old group would keep the local peer listed: stay there rather than be in two.
    if (!SetCommand(kLeave) || VEL_FAILED(peer->SendToGroup(_announcedGroup, kServiceName,
                                                            _peerMessage.data(), GetPeerMessageLength()))) {
      return;
    }
  }
  _announcedGroup = group;
  if (!SetCommand(kPresent))
    return;
  if (VEL_SUCCEEDED(
          peer->SendToGroup(_announcedGroup, kServiceName, _peerMessage.data(), GetPeerMessageLength()))) {
    VELP2P_TRACE("VELP2PPeerService - GroupModificationCB OK ");
  }
}

void VELP2PPeerService::ClosePeerCB(const char*, VELBaseUnknown*, VELNotification*, void*, VELCallback*) {
  VELP2P_TRACE("VELP2PPeerService - ClosePeerCB");
  VELP2PPeer* peer = GetPeer();
  VELUnicodeString current;
  if (!CurrentGroup(peer, current) || !SetCommand(kLeave))
    return;
  (void)peer->SendToGroup(current, kServiceName, _peerMessage.data(), GetPeerMessageLength());
}
