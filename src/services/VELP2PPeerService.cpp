#include "velp2p/VELP2PPeerService.h"

#include <cstring>
#include <new>
#include <vector>

#include "host/VELTraceMacros.h"
#include "services/VELP2PReceivedMessage.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELByteOrder.h"
#include "wire/VELByteReader.h"

VEL_IMPLEMENT_CLASS(VELP2PPeerService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PPeerService)

namespace {

constexpr char kServiceName[] = "PeerService";
constexpr char kPresent = '0';
constexpr char kLeave = '1';
// Command byte and record count.
constexpr int kFixedBytes = 3;
// The four bytes after the records that receivers skip.
constexpr int kTrailingBytes = 4;

// Appends the record of every endpoint of list that has one.
void CollectRecords(VELListPtrVELP2PEndPoint* list, std::vector<const VELP2PEndPointInfo*>& records) {
  if (!list)
    return;
  for (VELP2PEndPoint* endpoint : *list) {
    if (endpoint && endpoint->GetEndPointInfo())
      records.push_back(endpoint->GetEndPointInfo());
  }
}

// The current group of the local peer; false when it has none yet.
bool CurrentGroup(VELP2PPeer* peer, VELUnicodeString& group) {
  const VELUnicodeString* current = peer ? peer->GetCurrentGroup() : nullptr;
  if (!current || current->IsEmpty())
    return false;
  group = *current;
  return true;
}

}  // namespace

VELP2PPeerService::VELP2PPeerService() : _peerMessageLength(0) {
  VELP2P_TRACE("VELP2PPeerService - Constructor");
}

VELP2PPeerService::~VELP2PPeerService() {
  VELP2P_TRACE("VELP2PPeerService - Destructor");
}

VELResult VELP2PPeerService::Initialize() {
  VELP2P_TRACE("VELP2PPeerService - Initialize");
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  VELBaseUnknown* publisher = peer ? peer->GetP2PPublisher() : nullptr;
  if (!publisher)
    return VEL_E_FAIL;
  AddCallback(this, publisher, "VELP2PCurrentGroupModifNotif", &VELP2PPeerService::GroupModificationCB,
              nullptr);
  AddCallback(this, publisher, "VELP2PClosePeerNotif", &VELP2PPeerService::ClosePeerCB, nullptr);
  return StreamPeerMessage();
}

VELResult VELP2PPeerService::StreamPeerMessage() {
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (!peer)
    return VEL_E_FAIL;
  std::vector<const VELP2PEndPointInfo*> records;
  CollectRecords(peer->GetMulticastEndPoints(), records);
  CollectRecords(peer->GetUnicastEndPoints(), records);
  if (records.size() > 0xFFFF)
    return VEL_E_FAIL;
  const size_t length = kFixedBytes + records.size() * sizeof(VELP2PEndPointInfo) + kTrailingBytes;
  std::unique_ptr<char[]> message(new (std::nothrow) char[length]());
  if (!message)
    return VEL_E_FAIL;
  message[0] = kPresent;
  VELP2PStoreU16BE(message.get() + 1, static_cast<uint16_t>(records.size()));
  size_t offset = kFixedBytes;
  for (const VELP2PEndPointInfo* record : records) {
    if (length - offset < sizeof(VELP2PEndPointInfo))
      return VEL_E_FAIL;
    std::memcpy(message.get() + offset, record, sizeof(VELP2PEndPointInfo));
    offset += sizeof(VELP2PEndPointInfo);
  }
  _peerMessage = std::move(message);
  _peerMessageLength = static_cast<int>(length);
  return VEL_S_OK;
}

bool VELP2PPeerService::SetCommand(char command) {
  if (!_peerMessage || _peerMessageLength < 1)
    return false;
  _peerMessage[0] = command;
  return true;
}

std::unique_ptr<VELP2PPeerInfo> VELP2PPeerService::ParseSender(const char* buffer, int length,
                                                               const VELUnicodeString& sender,
                                                               const VELUnicodeString& group) {
  if (!buffer || length < kFixedBytes)
    return nullptr;
  VELByteReader reader(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(length));
  uint8_t command = 0;
  uint16_t count = 0;
  if (!reader.ReadU8(command) || !reader.ReadU16BE(count))
    return nullptr;
  std::unique_ptr<VELP2PPeerInfo> record(new (std::nothrow) VELP2PPeerInfo(sender, count, group));
  if (!record)
    return nullptr;
  if (VEL_FAILED(record->Initialize(buffer + kFixedBytes, length - kFixedBytes)))
    return nullptr;
  return record;
}

VELResult VELP2PPeerService::HandleMessage(VELIP2PMessage* message) {
  VELP2P_TRACE("VELP2PPeerService - HandleMessage");
  if (!message)
    return VEL_E_FAIL;
  VELUnicodeString group;
  VELResult result = message->GetMessageGroup(group);
  if (VEL_FAILED(result))
    return result;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  VELUnicodeString current;
  if (!CurrentGroup(peer, current))
    return VEL_E_FAIL;
  // The group rule lets the groups above the current one through; presence only counts in the group itself.
  if (group.Compare(current) != 2)
    return VEL_E_FAIL;
  VELP2PReceivedMessage received;
  result = received.Read(message);
  if (VEL_FAILED(result))
    return result;
  return ReceivePeerMessage(received.payload.data(), static_cast<int>(received.payload.size()), message);
}

VELResult VELP2PPeerService::ReceivePeerMessage(char* buffer, int length, VELIP2PMessage* message) {
  VELP2P_TRACE("VELP2PPeerService - ReceivePeerMessage");
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (!peer || !message)
    return VEL_E_FAIL;
  VELUnicodeString sender;
  VELResult result = message->GetSendingPeerName(sender);
  if (VEL_FAILED(result))
    return result;
  VELUnicodeString group;
  result = message->GetMessageGroup(group);
  if (VEL_FAILED(result))
    return result;
  if (!buffer || length < kFixedBytes)
    return VEL_E_FAIL;

  switch (buffer[0]) {
    case kPresent: {
      std::unique_ptr<VELP2PPeerInfo> record = ParseSender(buffer, length, sender, group);
      if (!record)
        return VEL_E_FAIL;
      // The peer takes the record over only when it accepts it.
      if (VEL_SUCCEEDED(peer->NewPeerDiscovered(record.get())))
        record.release();
      // Answers travel point to point and are never answered, so presence cannot echo back and forth. The
      // answer follows the directory update because the peer answers only senders it has in _groupPeers.
      const VELUnicodeString* localName = peer->GetPeerName();
      if (message->IsMulticast() && localName && sender.Compare(*localName) != 2 && SetCommand(kPresent)) {
        (void)peer->ReplyToPeer(_announcedGroup, GetServiceName(), _peerMessage.get(), _peerMessageLength,
                                message);
      }
      return VEL_S_OK;
    }
    case kLeave:
      (void)peer->NewPeerDestroyed(sender);
      return VEL_S_OK;
    default:
      return VEL_S_OK;
  }
}

void VELP2PPeerService::GroupModificationCB(const char*, VELBaseUnknown*, VELNotification* notification,
                                            void*, VELCallback*) {
  VELP2P_TRACE("VELP2PPeerService - GroupModificationCB");
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  auto* change = dynamic_cast<VELP2PGroupModifNotif*>(notification);
  if (!peer || !change || !change->getCurrentGroup())
    return;
  VELUnicodeString group(*change->getCurrentGroup());
  if (!_announcedGroup.IsEmpty() && _announcedGroup.Compare(group) != 2) {
    // Without the leave, the old group would keep the local peer listed: stay there rather than be in two.
    if (!SetCommand(kLeave) || VEL_FAILED(peer->SendToGroup(_announcedGroup, kServiceName, _peerMessage.get(),
                                                            _peerMessageLength))) {
      return;
    }
  }
  _announcedGroup = group;
  if (!SetCommand(kPresent))
    return;
  if (VEL_SUCCEEDED(
          peer->SendToGroup(_announcedGroup, kServiceName, _peerMessage.get(), _peerMessageLength))) {
    VELP2P_TRACE("VELP2PPeerService - GroupModificationCB OK ");
  }
}

void VELP2PPeerService::ClosePeerCB(const char*, VELBaseUnknown*, VELNotification*, void*, VELCallback*) {
  VELP2P_TRACE("VELP2PPeerService - ClosePeerCB");
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  VELUnicodeString current;
  if (!CurrentGroup(peer, current) || !SetCommand(kLeave))
    return;
  (void)peer->SendToGroup(current, kServiceName, _peerMessage.get(), _peerMessageLength);
}
