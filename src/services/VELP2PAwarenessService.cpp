#include "services/VELP2PAwarenessService.h"

#include <cstring>

#include "core/VELP2PClosing.h"
#include "core/VELP2PNode.h"
#include "core/VELP2PReceivedMessage.h"
#include "core/VELP2PRecordFacts.h"
#include "host/VELSystem.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"
#include "wire/VELP2PPayloads.h"

VEL_IMPLEMENT_CLASS(VELP2PAwarenessService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PAwarenessService)

namespace {

constexpr unsigned char kPeerBirth = '0';
constexpr unsigned char kPeerUpdate = '1';
constexpr unsigned char kPeerDeath = '2';
constexpr unsigned char kPeerAlreadyUsed = '3';
// How long after the local birth an answer that the name is taken is believed.
constexpr int kNameClashWindowSeconds = 5;
// The one group through which a peer accepts point-to-point messages under its own name.
const char kForceGroup[] = "/Force";

int32_t LocalProcessId() {
  return static_cast<int32_t>(VELGetProcessId());
}

// The peer record an announcement describes: the sender, heard in group, with the records it carries, and
// the process and kind the announcement gave. Null when the records do not fit the payload.
std::unique_ptr<VELP2PPeerInfo> ParseRecord(VELP2PPeer& peer, const VELP2PReceivedMessage& received,
                                            const VELP2PAnnouncement& announcement) {
  auto info = std::make_unique<VELP2PPeerInfo>(received.sender, announcement.count, received.group);
  if (VEL_FAILED(info->Initialize(announcement.records, announcement.recordBytes)))
    return nullptr;
  if (VELP2PRecordFacts* facts = VELP2PRecordFacts::Attach(*info, peer.Node()->Guard())) {
    facts->hasProcess = true;
    facts->processId = announcement.processId;
    facts->announcement = static_cast<char>(announcement.kind);
  }
  return info;
}

bool FromElsewhere(VELP2PPeer& peer) {
  const VELP2PSource* source = peer.Node()->Guard().CurrentSource();
  return source && source->origin == VELP2POrigin::kElsewhere;
}

// Whether an announcement under the local name is the local peer's own, heard back: from this process, this
// host, and with the endpoint records of the local announcement (another node of the process has endpoints of
// its own).
bool Own(VELP2PPeer& peer, const VELP2PAnnouncement& announcement, const std::vector<char>& local) {
  const size_t fixed = local.size() < 7 ? local.size() : 7;
  return announcement.processId == LocalProcessId() && !FromElsewhere(peer) &&
         static_cast<size_t>(announcement.recordBytes) == local.size() - fixed &&
         std::memcmp(announcement.records, local.data() + fixed, local.size() - fixed) == 0;
}

// Whether a death announcement comes from the process whose record is stored under its name. Another process
// that used the name (told that it was in use, and leaving) removes nobody: neither the local peer when the
// name is its own, nor the peer that holds the name anywhere else.
bool FromHolder(VELP2PPeer& peer, const VELP2PReceivedMessage& received,
                const VELP2PAnnouncement& announcement, bool fromLocalName, const std::vector<char>& local) {
  if (fromLocalName)
    return Own(peer, announcement, local);
  VELHashDicVELP2PPeerInfo* directory = peer.GetConnectedPeersDirectory();
  VELP2PPeerInfo* known = directory ? directory->Locate(received.sender) : nullptr;
  const VELP2PRecordFacts* facts = VELP2PRecordFacts::Of(known);
  if (!facts || !facts->hasProcess)
    return true;
  if (facts->processId != announcement.processId)
    return false;
  std::unique_ptr<VELP2PPeerInfo> leaving = ParseRecord(peer, received, announcement);
  return !leaving || VELP2PRecordFacts::SameEndPoint(*leaving, *known);
}

// Hands a record to the directory; the peer owns it only when it accepts it.
void RecordBirth(VELP2PPeer& peer, std::unique_ptr<VELP2PPeerInfo> info) {
  if (VEL_SUCCEEDED(peer.NewPeerBirth(info.get())))
    info.release();
}

}  // namespace

VELP2PAwarenessService::VELP2PAwarenessService() : VELP2PCoreService(true) {
  VELP2P_TRACE("VELP2PAwarenessService - Constructor");
}

VELP2PAwarenessService::~VELP2PAwarenessService() {
  VELP2P_TRACE("VELP2PAwarenessService - Destructor");
}

VELResult VELP2PAwarenessService::Initialize() {
  VELP2P_TRACE("VELP2PAwarenessService - Initialize");
  VELBaseUnknown* publisher = Publisher();
  if (!publisher)
    return VEL_E_FAIL;
  AddCallback(this, publisher, "VELP2PInitPeerNotif", &VELP2PAwarenessService::PeerInitCB, nullptr);
  AddCallback(this, publisher, "VELP2PClosePeerNotif", &VELP2PAwarenessService::PeerDeathCB, nullptr);
  (void)StreamPeerMessage();
  return VEL_S_OK;
}

VELResult VELP2PAwarenessService::StreamPeerMessage() {
  VELP2PPeer* peer = GetPeer();
  if (!peer)
    return VEL_E_FAIL;
  // Only endpoints that publish a record are counted, so that the count always matches the records.
  const std::vector<const VELP2PEndPointInfo*> records = LocalRecords(*peer);
  if (records.size() > 0xFFFF)
    return VEL_E_FAIL;
  _peerMessage = VELP2PWriteAnnouncement(kPeerBirth, LocalProcessId(), records);
  return VEL_S_OK;
}

void VELP2PAwarenessService::Announce(unsigned char kind) {
  VELP2PPeer* peer = GetPeer();
  if (!peer || _peerMessage.empty())
    return;
  _peerMessage[0] = static_cast<char>(kind);
  VELUnicodeString group("/");
  (void)peer->SendToGroup(group, GetServiceName(), _peerMessage.data(),
                          static_cast<int>(_peerMessage.size()));
}

void VELP2PAwarenessService::PeerInitCB(const char*, VELBaseUnknown*, VELNotification*, void*, VELCallback*) {
  VELP2P_TRACE("VELP2PAwarenessService - PeerInitCB");
  _bornAt = std::chrono::steady_clock::now();
  Announce(kPeerBirth);
}

void VELP2PAwarenessService::PeerDeathCB(const char*, VELBaseUnknown*, VELNotification*, void*,
                                         VELCallback*) {
  VELP2P_TRACE("VELP2PAwarenessService - PeerDeathCB");
  Announce(kPeerDeath);
}

VELResult VELP2PAwarenessService::Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received,
                                          VELIP2PMessage*) {
  // Every kind carries the same fixed part; a payload without it is not an announcement.
  VELP2PAnnouncement announcement;
  if (!VELP2PReadAnnouncement(received.payload.data(), received.payload.size(), announcement))
    return VEL_E_FAIL;
  const VELDiagnosticSink& diagnostics = VELP2PDiagnosticsOf(peer);
  VELDiagnosticPrintf(diagnostics, "received message <%d>  \n", announcement.processId);
  const bool fromLocalName = peer.GetPeerName() && received.sender == *peer.GetPeerName();

  switch (announcement.kind) {
    case kPeerBirth: {
      VELDiagnosticPrintf(diagnostics, "PEER_BIRTH \n");
      std::unique_ptr<VELP2PPeerInfo> info = ParseRecord(peer, received, announcement);
      if (!info)
        return VEL_E_FAIL;
      // The local announcement heard back, or an answer: recorded, never answered.
      const bool own = fromLocalName && Own(peer, announcement, _peerMessage);
      if (own || !received.multicast) {
        RecordBirth(peer, std::move(info));
        return VEL_S_OK;
      }
      if (VEL_FAILED(Answer(peer, *info, fromLocalName)))
        return VEL_E_FAIL;
      RecordBirth(peer, std::move(info));
      return VEL_S_OK;
    }
    case kPeerUpdate: {
      VELDiagnosticPrintf(diagnostics, "PEER_UPDATE \n");
      std::unique_ptr<VELP2PPeerInfo> info = ParseRecord(peer, received, announcement);
      if (!info)
        return VEL_E_FAIL;
      if (fromLocalName)
        return VEL_S_OK;
      RecordBirth(peer, std::move(info));
      return VEL_S_OK;
    }
    case kPeerDeath:
      VELDiagnosticPrintf(diagnostics, "PEER_DEATH \n");
      if (FromHolder(peer, received, announcement, fromLocalName, _peerMessage))
        (void)peer.NewPeerDeath(received.sender);
      return VEL_S_OK;
    case kPeerAlreadyUsed:
      VELDiagnosticPrintf(diagnostics, "PEER_ALREADY_USED \n");
      // Only ever sent point to point, under the clashing name, in answer to the local birth: anything else
      // is a forgery that would take the local peer off the network.
      if (received.multicast || !fromLocalName ||
          std::chrono::steady_clock::now() - _bornAt > std::chrono::seconds(kNameClashWindowSeconds))
        return VEL_S_OK;
      VELDiagnosticPrintf(diagnostics, "the name %s is in use by another peer\n",
                          received.sender.CastToCharPtr());
      {
        // The tear-down releases this service; only the dispatch's reference keeps it alive from here on,
        // so nothing of it is touched after the call.
        VELP2PClosing closing("name in use");
        (void)peer.Disconnect();
      }
      return VEL_S_OK;
    default:
      return VEL_S_OK;
  }
}

VELResult VELP2PAwarenessService::Answer(VELP2PPeer& peer, VELP2PPeerInfo& newcomer, bool nameInUse) {
  VELDiagnosticPrintf(VELP2PDiagnosticsOf(peer),
                      nameInUse ? "sending PEER_ALREADY_USED \n" : "sending PEER_UPDATE \n");
  const VELUnicodeString* current = peer.GetCurrentGroup();
  if (!current || _peerMessage.empty())
    return VEL_E_FAIL;
  // The newcomer drops point-to-point messages under its own name unless they come through "/Force".
  VELUnicodeString group(nameInUse ? VELUnicodeString(kForceGroup) : *current);
  _peerMessage[0] = static_cast<char>(nameInUse ? kPeerAlreadyUsed : kPeerUpdate);
  (void)peer.SendToPeer(group, GetServiceName(), _peerMessage.data(), static_cast<int>(_peerMessage.size()),
                        &newcomer);
  // Then the local status, so that the newcomer knows it without waiting for a change.
  std::vector<char> status = VELP2PWriteStatus(kVELP2PStatusUpdate, peer.GetStatus(), peer.GetDesc().Str());
  (void)peer.SendToPeer(group, "StatusService", status.data(), static_cast<int>(status.size()), &newcomer);
  return VEL_S_OK;
}
