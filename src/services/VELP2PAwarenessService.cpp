#include "velp2p/VELP2PAwarenessService.h"

#include <cstring>
#include <new>

#include "host/VELTraceMacros.h"
#include "services/VELP2PReceivedMessage.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELIBBStreamer.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PMessage.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"
#include "velp2p/VELP2PStatusService.h"
#include "velp2p/VELSystem.h"

VEL_IMPLEMENT_CLASS(VELP2PAwarenessService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PAwarenessService)

namespace {

constexpr unsigned char kPeerBirth = '0';
constexpr unsigned char kPeerUpdate = '1';
constexpr unsigned char kPeerDeath = '2';
constexpr unsigned char kPeerAlreadyUsed = '3';
constexpr size_t kFixedPart = 7;  // kind, record count, process id
constexpr size_t kRecordSize = sizeof(VELP2PEndPointInfo);

int32_t LocalProcessId() {
  return static_cast<int32_t>(VELGetProcessId());
}

// The endpoints of a list that publish a record; a missing list has none.
int CountRecords(VELListPtrVELP2PEndPoint* endpoints) {
  int count = 0;
  for (int i = 1; endpoints && i <= endpoints->Size(); ++i) {
    VELP2PEndPoint* endpoint = (*endpoints)[i];
    if (endpoint && endpoint->GetEndPointInfo())
      ++count;
  }
  return count;
}

// Copies the record of every endpoint of the list that has one from offset on; false when one would pass end.
bool CopyRecords(VELListPtrVELP2PEndPoint* endpoints, char* buffer, size_t end, size_t& offset) {
  for (int i = 1; endpoints && i <= endpoints->Size(); ++i) {
    VELP2PEndPoint* endpoint = (*endpoints)[i];
    if (!endpoint || !endpoint->GetEndPointInfo())
      continue;
    if (end - offset < kRecordSize)
      return false;
    std::memcpy(buffer + offset, endpoint->GetEndPointInfo(), kRecordSize);
    offset += kRecordSize;
  }
  return true;
}

// The peer record an announcement describes: the sender, heard in group, with the records after the fixed
// part. Null when the records do not fit the payload.
std::unique_ptr<VELP2PPeerInfo> ParseRecord(const VELP2PReceivedMessage& received, uint16_t count) {
  auto info = std::make_unique<VELP2PPeerInfo>(received.sender, count, received.group);
  const int recordBytes = static_cast<int>(received.payload.size() - kFixedPart);
  if (VEL_FAILED(info->Initialize(received.payload.data() + kFixedPart, recordBytes)))
    return nullptr;
  return info;
}

// Hands a record to the directory; the peer owns it only when it accepts it.
void RecordBirth(VELP2PPeer* peer, std::unique_ptr<VELP2PPeerInfo> info) {
  if (VEL_SUCCEEDED(peer->NewPeerBirth(info.get())))
    info.release();
}

}  // namespace

VELP2PAwarenessService::VELP2PAwarenessService() : _peerMessageLength(0) {
  VELP2P_TRACE("VELP2PAwarenessService - Constructor");
}

VELP2PAwarenessService::~VELP2PAwarenessService() {
  VELP2P_TRACE("VELP2PAwarenessService - Destructor");
}

VELResult VELP2PAwarenessService::Initialize() {
  VELP2P_TRACE("VELP2PAwarenessService - Initialize");
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (!peer)
    return VEL_E_FAIL;
  VELBaseUnknown* publisher = peer->GetP2PPublisher();
  if (!publisher)
    return VEL_E_FAIL;
  AddCallback(this, publisher, "VELP2PInitPeerNotif", &VELP2PAwarenessService::PeerInitCB, nullptr);
  AddCallback(this, publisher, "VELP2PClosePeerNotif", &VELP2PAwarenessService::PeerDeathCB, nullptr);
  (void)StreamPeerMessage();
  return VEL_S_OK;
}

VELResult VELP2PAwarenessService::internalFilterMessageFromGroup(VELUnicodeString&) {
  VELP2P_TRACE("VELP2PAwarenessService - internalFilterMessageFromGroup");
  return VEL_S_OK;
}

VELResult VELP2PAwarenessService::StreamPeerMessage() {
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (!peer)
    return VEL_E_FAIL;
  VELListPtrVELP2PEndPoint* multicast = peer->GetMulticastEndPoints();
  VELListPtrVELP2PEndPoint* unicast = peer->GetUnicastEndPoints();
  // Only endpoints that publish a record are counted, so that N always matches the records that follow.
  const int count = CountRecords(multicast) + CountRecords(unicast);
  if (count > 0xFFFF)
    return VEL_E_FAIL;
  const size_t length = kFixedPart + kRecordSize * static_cast<size_t>(count);
  std::unique_ptr<char[]> message(new (std::nothrow) char[length]());
  if (!message)
    return VEL_E_FAIL;
  message[0] = static_cast<char>(kPeerBirth);
  message[1] = static_cast<char>((count >> 8) & 0xFF);
  message[2] = static_cast<char>(count & 0xFF);
  const uint32_t pid = static_cast<uint32_t>(LocalProcessId());
  for (int i = 0; i < 4; ++i)
    message[3 + i] = static_cast<char>((pid >> (8 * i)) & 0xFF);
  size_t offset = kFixedPart;
  if (!CopyRecords(multicast, message.get(), length, offset) ||
      !CopyRecords(unicast, message.get(), length, offset)) {
    return VEL_E_FAIL;
  }
  _peerMessage = std::move(message);
  _peerMessageLength = static_cast<int>(length);
  return VEL_S_OK;
}

void VELP2PAwarenessService::Announce(unsigned char kind) {
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (!peer || !_peerMessage)
    return;
  _peerMessage[0] = static_cast<char>(kind);
  VELUnicodeString group("/");
  (void)peer->SendToGroup(group, GetServiceName(), _peerMessage.get(), _peerMessageLength);
}

void VELP2PAwarenessService::PeerInitCB(const char*, VELBaseUnknown*, VELNotification*, void*, VELCallback*) {
  VELP2P_TRACE("VELP2PAwarenessService - PeerInitCB");
  Announce(kPeerBirth);
}

void VELP2PAwarenessService::PeerDeathCB(const char*, VELBaseUnknown*, VELNotification*, void*,
                                         VELCallback*) {
  VELP2P_TRACE("VELP2PAwarenessService - PeerDeathCB");
  Announce(kPeerDeath);
}

VELResult VELP2PAwarenessService::HandleMessage(VELIP2PMessage* message) {
  VELP2P_TRACE("VELP2PAwarenessService - HandleMessage");
  if (!message)
    return VEL_E_FAIL;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (!peer)
    return VEL_E_FAIL;
  VELP2PReceivedMessage received;
  VELResult result = received.Read(message);
  if (VEL_FAILED(result))
    return result;
  const VELUnicodeString localName(*peer->GetPeerName());

  // Every kind carries the same fixed part; a payload without it is not an announcement.
  if (received.payload.size() < kFixedPart)
    return VEL_E_FAIL;
  const unsigned char kind = static_cast<unsigned char>(received.payload[0]);
  uint16_t count = 0;
  int32_t processId = 0;
  VELP2PReadUInt16BE(received.payload, 1, count);
  VELP2PReadInt32LE(received.payload, 3, processId);
  VELDiagnosticPrintf("received message <%d>  \n", processId);

  switch (kind) {
    case kPeerBirth: {
      VELDiagnosticPrintf("PEER_BIRTH \n");
      std::unique_ptr<VELP2PPeerInfo> info = ParseRecord(received, count);
      if (!info)
        return VEL_E_FAIL;
      const bool fromLocalName = received.sender == localName;
      // The local announcement heard back, or an answer: recorded, never answered.
      if ((fromLocalName && processId == LocalProcessId()) || !received.multicast) {
        RecordBirth(peer, std::move(info));
        return VEL_S_OK;
      }
      if (fromLocalName) {
        VELDiagnosticPrintf("sending PEER_ALREADY_USED \n");
      } else {
        VELDiagnosticPrintf("sending PEER_UPDATE \n");
      }
      const VELUnicodeString* current = peer->GetCurrentGroup();
      if (!current || !_peerMessage)
        return VEL_E_FAIL;
      VELUnicodeString group(*current);
      _peerMessage[0] = static_cast<char>(fromLocalName ? kPeerAlreadyUsed : kPeerUpdate);
      (void)peer->SendToPeer(group, GetServiceName(), _peerMessage.get(), _peerMessageLength, info.get());

      // Then the local status, so that the newcomer knows it without waiting for a change.
      VELIBBStreamer* streamer = VELP2PMessage::NewStreamer();
      if (!streamer)
        return VEL_S_OK;
      void* payload = nullptr;
      int length = 0;
      const VELUnicodeString desc(peer->GetDesc());
      if (VEL_FAILED(
              VELP2PStatusService::StreamStatus(streamer, '1', peer->GetStatus(), desc, payload, length))) {
        return VEL_S_OK;
      }
      (void)peer->SendToPeer(group, "StatusService", static_cast<char*>(payload), length, info.get());
      streamer->ReleaseStreamedBuffer();
      streamer->Release();
      RecordBirth(peer, std::move(info));
      return VEL_S_OK;
    }
    case kPeerUpdate: {
      VELDiagnosticPrintf("PEER_UPDATE \n");
      std::unique_ptr<VELP2PPeerInfo> info = ParseRecord(received, count);
      if (!info)
        return VEL_E_FAIL;
      if (received.sender == localName)
        return VEL_S_OK;
      // The status that follows this answer travels on a connection of its own and may have been handled
      // first; it is newer than the 0 a birth gives, so it is kept.
      VELP2PUserStatus status = 0;
      VELUnicodeString desc;
      const bool statusFirst = !peer->IsPeerConnected(received.sender) &&
                               VEL_SUCCEEDED(peer->GetStatusAndDesc(received.sender, status, desc));
      RecordBirth(peer, std::move(info));
      // Only while the birth's subscribers have left the peer connected.
      if (statusFirst && peer->IsPeerConnected(received.sender))
        (void)peer->AddStatusAndDesc(received.sender, status, desc);
      return VEL_S_OK;
    }
    case kPeerDeath:
      VELDiagnosticPrintf("PEER_DEATH \n");
      (void)peer->NewPeerDeath(received.sender);
      return VEL_S_OK;
    case kPeerAlreadyUsed:
      VELDiagnosticPrintf("PEER_ALREADY_USED \n");
      // The tear-down releases this service; only the dispatch's reference keeps it alive from here on, so
      // nothing of it is touched after the call.
      (void)peer->Disconnect();
      return VEL_S_OK;
    default:
      return VEL_S_OK;
  }
}
