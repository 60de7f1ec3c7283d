#include "core/VELP2PPresence.h"

#include <cstring>
#include <random>

#include "core/VELP2PAnnouncer.h"
#include "core/VELP2PLiveness.h"
#include "core/VELP2PNode.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"

namespace {

constexpr char kStillHere = '2';  // the kind, or command, of an announcement made again

// Whether the records of a stored peer are the count records at bytes, in order.
bool SameRecords(VELP2PPeerInfo& known, const char* bytes, int count) {
  VELListPtrVELP2PEndPointInfo* records = known.GetEndPointsInfoList();
  if (!records || records->Size() != count)
    return false;
  for (int i = 1; i <= count; ++i) {
    const VELP2PEndPointInfo* record = (*records)[i];
    if (!record || std::memcmp(record, bytes + (i - 1) * sizeof(VELP2PEndPointInfo), sizeof(*record)) != 0)
      return false;
  }
  return true;
}

// Whether the first record usable point to point holds address and port.
bool FirstUnicastIs(VELP2PPeerInfo& known, uint32_t address, uint16_t port) {
  VELListPtrVELP2PEndPointInfo* records = known.GetEndPointsInfoList();
  for (int i = 1; records && i <= records->Size(); ++i) {
    const VELP2PEndPointInfo* record = (*records)[i];
    if (record && (record->kind & VELP2P_ENDPOINT_UNICAST) && !(record->kind & VELP2P_ENDPOINT_MULTICAST))
      return record->address == address && record->port == port;
  }
  return false;
}

}  // namespace

VELP2PPresence::VELP2PPresence(VELP2PNode& node, VELApplication* application,
                               const VELP2PPresenceSettings& settings)
    : _settings(settings) {
  if (settings.announce) {
    _announcer = std::make_unique<VELP2PAnnouncer>(node, application, settings, std::random_device()());
  }
  if (settings.livenessMs > 0) {
    _liveness = std::make_unique<VELP2PLiveness>(node, application, settings.livenessMs, [this]() {
      if (_announcer)
        _announcer->Suspect();
    });
  }
}

VELP2PPresence::~VELP2PPresence() = default;

void VELP2PPresence::SendFailed() {
  if (_announcer)
    _announcer->SendFailed();
}

void VELP2PPresence::SendReached() {
  if (_announcer)
    _announcer->SendReached();
}

bool VELP2PPresence::OnlyPresence(VELP2PPeer& peer, const VELP2PHeader& header) {
  const VELP2PHeaderFixedPart* fixed = header.GetFixedPart();
  const char* payload = header.GetPayload();
  const int length = header.GetPayloadLength();
  const char* service = header.GetServiceName();
  if (!fixed || !payload || length < 3 || payload[0] != kStillHere || !service)
    return false;
  if (peer.Collaboration()) {
    VELHashDicVELP2PPeerInfo* connected = peer.GetConnectedPeersDirectory();
    VELP2PPeerInfo* known = connected ? connected->Locate(header.GetSendingPeerName()) : nullptr;
    return known && std::strcmp(service, "StatusService") == 0 &&
           FirstUnicastIs(*known, fixed->otherAddress, fixed->otherPort);
  }
  VELHashDicVELP2PPeerInfo* group = peer.GetGroupPeers();
  VELP2PPeerInfo* known = group ? group->Locate(header.GetSendingPeerName()) : nullptr;
  const VELUnicodeString* current = peer.GetCurrentGroup();
  if (!known || !current || std::strcmp(service, "PeerService") != 0 ||
      header.GetMessageGroup().Compare(*current) != 2)
    return false;
  const int count = (static_cast<unsigned char>(payload[1]) << 8) | static_cast<unsigned char>(payload[2]);
  return length - 3 >= count * static_cast<int>(sizeof(VELP2PEndPointInfo)) &&
         SameRecords(*known, payload + 3, count);
}
