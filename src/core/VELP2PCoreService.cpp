#include "velp2p/VELP2PCoreService.h"

#include "core/VELP2PReceivedMessage.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PPeer.h"

VEL_IMPLEMENT_CLASS(VELP2PCoreService, VELP2PService)

namespace {

void AppendRecords(VELListPtrVELP2PEndPoint* endpoints, std::vector<const VELP2PEndPointInfo*>& records) {
  for (int i = 1; endpoints && i <= endpoints->Size(); ++i) {
    VELP2PEndPoint* endpoint = (*endpoints)[i];
    if (endpoint && endpoint->GetEndPointInfo())
      records.push_back(endpoint->GetEndPointInfo());
  }
}

}  // namespace

VELP2PCoreService::VELP2PCoreService() : VELP2PCoreService(false) {}

VELP2PCoreService::VELP2PCoreService(bool everyGroup) : _everyGroup(everyGroup) {
  VELP2P_TRACE("VELP2PCoreService - Constructor");
}

VELP2PCoreService::~VELP2PCoreService() {
  VELP2P_TRACE("VELP2PCoreService - Destructor");
}

VELResult VELP2PCoreService::Initialize() {
  return VEL_S_OK;
}

VELResult VELP2PCoreService::internalFilterMessageFromGroup(VELUnicodeString& group) {
  VELP2P_TRACE("VELP2PCoreService - FilterMessageFromGroup");
  return _everyGroup ? VEL_S_OK : FilterMessageFromGroup(group);
}

VELResult VELP2PCoreService::HandleMessage(VELIP2PMessage* message) {
  VELP2P_TRACEF("%s - HandleMessage\n", IsA());
  VELP2PPeer* peer = GetPeer();
  if (!message || !peer)
    return VEL_E_FAIL;
  VELP2PReceivedMessage received;
  VELResult result = received.Read(message);
  if (VEL_FAILED(result))
    return result;
  return Receive(*peer, received, message);
}

VELResult VELP2PCoreService::Receive(VELP2PPeer&, VELP2PReceivedMessage&, VELIP2PMessage*) {
  return VEL_S_OK;
}

VELBaseUnknown* VELP2PCoreService::Publisher() const {
  VELP2PPeer* peer = GetPeer();
  return peer ? peer->GetP2PPublisher() : nullptr;
}

std::vector<const VELP2PEndPointInfo*> VELP2PCoreService::LocalRecords(VELP2PPeer& peer) {
  std::vector<const VELP2PEndPointInfo*> records;
  AppendRecords(peer.GetMulticastEndPoints(), records);
  AppendRecords(peer.GetUnicastEndPoints(), records);
  return records;
}
