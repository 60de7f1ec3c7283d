#include "services/VELP2PNewcomer.h"

#include "core/VELP2PReceivedMessage.h"
#include "velp2p/VELP2PMessage.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"
#include "wire/VELP2PPayloads.h"

std::unique_ptr<VELP2PPeerInfo> VELP2PSenderFromHeader(VELIP2PMessage* message,
                                                       const VELP2PReceivedMessage& received) {
  void* object = nullptr;
  if (!message || VEL_FAILED(message->QueryInterface(IID_VELIUnknown, &object)))
    return nullptr;
  auto* base = static_cast<VELBaseUnknown*>(static_cast<VELIUnknown*>(object));
  auto* read = dynamic_cast<VELP2PMessage*>(base);
  VELP2PEndPointInfo sending{sizeof(VELP2PEndPointInfo), VELP2P_ENDPOINT_MULTICAST, 0, 0};
  VELP2PEndPointInfo answering{sizeof(VELP2PEndPointInfo), VELP2P_ENDPOINT_UNICAST, 0, 0};
  const bool known = read && VEL_SUCCEEDED(read->GetSendingPeerEPInfo(sending, VELP2P_MESSAGE_MULTICAST)) &&
                     VEL_SUCCEEDED(read->GetSendingPeerEPInfo(answering, VELP2P_MESSAGE_UNICAST));
  base->Release();
  if (!known)
    return nullptr;
  std::vector<char> records(reinterpret_cast<const char*>(&sending),
                            reinterpret_cast<const char*>(&sending) + sizeof(sending));
  if (answering.address != 0 && answering.port != 0) {
    records.insert(records.end(), reinterpret_cast<const char*>(&answering),
                   reinterpret_cast<const char*>(&answering) + sizeof(answering));
  }
  const int count = static_cast<int>(records.size() / sizeof(VELP2PEndPointInfo));
  auto info = std::make_unique<VELP2PPeerInfo>(received.sender, count, received.group);
  if (VEL_FAILED(info->Initialize(records.data(), static_cast<int>(records.size()))))
    return nullptr;
  return info;
}

VELResult VELP2PAnswerNewcomer(VELP2PPeer& peer, VELP2PPeerInfo& newcomer, std::vector<char>& announcement,
                               uint8_t kind) {
  const VELUnicodeString* current = peer.GetCurrentGroup();
  if (!current || announcement.empty())
    return VEL_E_FAIL;
  VELUnicodeString group(*current);
  announcement[0] = static_cast<char>(kind);
  (void)peer.SendToPeer(group, "AwarenessService", announcement.data(), static_cast<int>(announcement.size()),
                        &newcomer);
  // Then the local status, so that the newcomer knows it without waiting for a change.
  std::vector<char> status = VELP2PWriteStatus(kVELP2PStatusUpdate, peer.GetStatus(), peer.GetDesc().Str());
  (void)peer.SendToPeer(group, "StatusService", status.data(), static_cast<int>(status.size()), &newcomer);
  return VEL_S_OK;
}
