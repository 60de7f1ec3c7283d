// The local peer's traffic switch: dispatch of received messages to services, and the send operations.
#include <cstring>
#include <vector>

#include "core/VELP2PNode.h"
#include "host/VELLastError.h"
#include "host/VELTraceMacros.h"
#include "transport/VELP2PSending.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELIP2PMessage.h"
#include "velp2p/VELP2PCoreService.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELP2PMessage.h"
#include "wire/VELP2PPayloads.h"

namespace {

// The services of a dispatch, each held by one reference for the whole call: a service that disconnects
// the peer from its handler, or from a notification it fires, must outlive its own call.
class ServiceSnapshot {
 public:
  explicit ServiceSnapshot(VELListPtrVELP2PService* services) {
    for (int i = 1; services && i <= services->Size(); ++i) {
      if (VELP2PService* service = (*services)[i]) {
        service->AddRef();
        _services.push_back(service);
      }
    }
  }
  ~ServiceSnapshot() {
    for (VELP2PService* service : _services)
      service->Release();
  }
  const std::vector<VELP2PService*>& Services() const { return _services; }

 private:
  std::vector<VELP2PService*> _services;
};

VELResult RunGroupFilter(VELP2PService* service, VELUnicodeString& group) {
  if (service->IsAKindOf("VELP2PCoreService")) {
    if (auto* core = dynamic_cast<VELP2PCoreService*>(service))
      return core->internalFilterMessageFromGroup(group);
  }
  return service->FilterMessageFromGroup(group);
}

bool IsUnicastRecord(const VELP2PEndPointInfo* record) {
  return (record->kind & VELP2P_ENDPOINT_MULTICAST) == 0 && (record->kind & VELP2P_ENDPOINT_UNICAST) != 0;
}

}  // namespace

VELResult VELP2PPeer::Dispatch(VELP2PHeader& header) {
  VELP2P_TRACE("VELP2PPeer - Dispatch");
  if (_connected == 0 || !_services || !header.GetFixedPart() || !header.GetServiceName())
    return VEL_E_FAIL;
  const char* wireName = header.GetServiceName();
  ServiceSnapshot snapshot(_services.get());
  VELP2PService* selected = nullptr;
  for (VELP2PService* service : snapshot.Services()) {
    const char* name = service->GetServiceName();
    if (!name || std::strcmp(name, wireName) != 0)
      continue;
    if (VEL_SUCCEEDED(RunGroupFilter(service, header.GetMessageGroup()))) {
      selected = service;
      break;
    }
  }
  // A filter may have fired a notification whose subscriber disconnected the peer.
  if (!selected || _connected == 0)
    return VEL_S_OK;
  VELP2PMessage message(header);
  void* object = nullptr;
  VELResult queried = message.QueryInterface(IID_VELIP2PMessage, &object);
  if (VEL_FAILED(queried))
    return queried;
  auto* itf = static_cast<VELIP2PMessage*>(object);
  VELResult handled = selected->HandleMessage(itf);
  itf->Release();
  return VEL_SUCCEEDED(handled) ? VEL_S_OK : handled;
}

VELResult VELP2PPeer::SendToGroup(VELUnicodeString& group, const char* service, char* data, int length) {
  VELP2P_TRACE("VELP2PPeer - SendToGroup");
  if (_connected == 0 || !service)
    return VELFail(service ? VELP2P_ERROR_NOT_CONNECTED : VELP2P_ERROR_BAD_ARGUMENT);
  if (!_multicastEndPoints) {
    VELP2P_TRACE("VELP2PPeer - SendToGroup failed _multicastEndPoints NULL");
    return VELFail(VELP2P_ERROR_NETWORK, "no multicast endpoint");
  }
  // Held by the send: the endpoint list may go away if a send disconnects the peer.
  std::vector<VELP2PEndPoint*> endpoints;
  for (int i = 1; i <= _multicastEndPoints->Size(); ++i) {
    if (VELP2PEndPoint* endpoint = (*_multicastEndPoints)[i])
      endpoints.push_back(endpoint);
  }
  for (VELP2PEndPoint* endpoint : endpoints)
    endpoint->AddRef();
  for (VELP2PEndPoint* endpoint : endpoints) {
    if (VEL_FAILED(endpoint->SendToGroup(group, service, data, length))) {
      VELP2P_TRACE("mulicastendpoint SendToGroup failed");
    }
  }
  for (VELP2PEndPoint* endpoint : endpoints)
    endpoint->Release();
  return VEL_S_OK;
}

VELResult VELP2PPeer::SendToPeer(VELUnicodeString& group, const char* service, char* data, int length,
                                 VELP2PEndPointInfo* remote, VELP2PPeerInfo* peer) {
  if (!_unicastEndPoints || _unicastEndPoints->Size() == 0 || !_node)
    return VEL_E_FAIL;
  VELP2PAnswerGuard& guard = _node->Guard();
  if (!remote || !guard.MayConnect(remote->address, peer))
    return VELFail(VELP2P_ERROR_NETWORK, "an address that is not used");
  if (!guard.TakeAnswer(remote->address))
    return VELFail(VELP2P_ERROR_NETWORK, "too many automatic sends to that address or for that sender");
  // An answer is queued apart from the application's blocks, so that no flood of them refuses what the
  // application sends or takes its connections.
  VELP2PSending::Automatic lane(*_node->Sending(), guard.Answering());
  for (int i = 1; _unicastEndPoints && i <= _unicastEndPoints->Size(); ++i) {
    VELP2PEndPoint* endpoint = (*_unicastEndPoints)[i];
    if (!endpoint)
      continue;
    if (VEL_SUCCEEDED(endpoint->SendToPeer(group, service, data, length, remote, peer)))
      return VEL_S_OK;
  }
  return VEL_E_FAIL;
}

VELResult VELP2PPeer::SendToPeer(VELUnicodeString& group, const char* service, char* data, int length,
                                 VELP2PPeerInfo* peer) {
  if (_connected == 0 || !peer || !_node)
    return VEL_E_FAIL;
  VELP2PAnswerGuard& guard = _node->Guard();
  VELListPtrVELP2PEndPointInfo* records = peer->GetEndPointsInfoList();
  if (!records || records->Size() == 0)
    return VEL_E_FAIL;
  VELLastErrorRecord before = VELSaveLastError();
  VELP2PClearLastError();
  for (int i = 1; i <= records->Size(); ++i) {
    VELP2PEndPointInfo* record = (*records)[i];
    if (!record)
      return VEL_E_FAIL;
    if (!IsUnicastRecord(record) || !guard.MayConnect(record->address, peer))
      continue;
    if (VEL_SUCCEEDED(SendToPeer(group, service, data, length, record, peer))) {
      VELRestoreLastError(std::move(before));
      return VEL_S_OK;
    }
    // An answer a group message provoked tries one record only, so that a forged list costs one attempt.
    if (guard.Answering())
      break;
  }
  // A full queue is worth telling apart: the caller may run the loop and send again.
  if (VELP2PGetLastErrorCode() == VELP2P_ERROR_QUEUE_FULL)
    return VEL_E_FAIL;
  return VELFail(VELP2P_ERROR_NETWORK, "no route to " + peer->name.Str());
}

VELResult VELP2PPeer::SendToPeer(VELUnicodeString& group, const char* service, char* data, int length,
                                 VELUnicodeString& peerName) {
  VELP2P_TRACE("VELP2PPeer - SendToPeer");
  if (_connected == 0 || !_groupPeers)
    return VELFail(VELP2P_ERROR_NOT_CONNECTED);
  VELP2PPeerInfo* peer = _groupPeers->Locate(peerName);
  if (!peer)
    return VELFail(VELP2P_ERROR_UNKNOWN_PEER, peerName.Str());
  return SendToPeer(group, service, data, length, peer);
}

VELResult VELP2PPeer::SendToPeerCrossGroup(VELUnicodeString&, const char* service, char* data, int length,
                                           VELUnicodeString& peerName) {
  VELP2P_TRACE("VELP2PPeer - SendToPeerCrossGroup");
  if (_connected == 0 || !_crossGroupPeers)
    return VELFail(VELP2P_ERROR_NOT_CONNECTED);
  VELP2PPeerInfo* peer = _crossGroupPeers->Locate(peerName);
  if (!peer)
    return VELFail(VELP2P_ERROR_UNKNOWN_PEER, peerName.Str());
  VELUnicodeString peerGroup(peer->group);
  return SendToPeer(peerGroup, service, data, length, peer);
}

VELResult VELP2PPeer::ReplyToPeer(VELUnicodeString& group, const char* service, char* data, int length,
                                  VELIP2PMessage* message) {
  VELP2P_TRACE("VELP2PPeer - ReplyToPeer");
  if (_connected == 0 || !message)
    return VELFail(message ? VELP2P_ERROR_NOT_CONNECTED : VELP2P_ERROR_BAD_ARGUMENT);
  void* object = nullptr;
  VELResult queried = message->QueryInterface(IID_VELIUnknown, &object);
  if (VEL_FAILED(queried))
    return queried;
  auto* base = static_cast<VELBaseUnknown*>(static_cast<VELIUnknown*>(object));
  auto* p2pMessage = dynamic_cast<VELP2PMessage*>(base);
  VELP2PEndPointInfo remote;
  std::memset(&remote, 0, sizeof(remote));
  remote.length = sizeof(VELP2PEndPointInfo);
  remote.kind = VELP2P_ENDPOINT_UNICAST;
  VELUnicodeString sender;
  VELResult addressRead =
      p2pMessage ? p2pMessage->GetSendingPeerEPInfo(remote, VELP2P_MESSAGE_UNICAST) : VEL_E_FAIL;
  VELResult nameRead = p2pMessage ? p2pMessage->GetSendingPeerName(sender) : VEL_E_FAIL;
  base->Release();
  if (VEL_FAILED(addressRead) || VEL_FAILED(nameRead) || !_groupPeers)
    return VEL_E_FAIL;
  VELP2PPeerInfo* peer = _groupPeers->Locate(sender);
  if (!peer)
    return VELFail(VELP2P_ERROR_UNKNOWN_PEER, sender.Str());
  // What the peer announced of that endpoint (whether it takes many blocks per connection) goes with it.
  VELListPtrVELP2PEndPointInfo* records = peer->GetEndPointsInfoList();
  for (int i = 1; records && i <= records->Size(); ++i) {
    const VELP2PEndPointInfo* record = (*records)[i];
    if (record && IsUnicastRecord(record) && record->address == remote.address && record->port == remote.port)
      remote.kind = record->kind;
  }
  return SendToPeer(group, service, data, length, &remote, peer);
}

VELResult VELP2PPeer::SendP2PMessage(const VELUnicodeString& peerName, unsigned char type,
                                     const VELUnicodeString& header, char* data, int length) {
  VELP2P_TRACE("VELP2PPeer - SendP2PMessage");
  VELDiagnosticPrintf(VELP2PDiagnosticsOf(*this), "VELP2PPeer - SendP2PMessage for service <%s>\n",
                      header.CastToCharPtr());
  if (length <= 0 || !data || !_connectedPeers)
    return VELFail(_connectedPeers ? VELP2P_ERROR_EMPTY_DATA : VELP2P_ERROR_NOT_CONNECTED);
  VELP2PPeerInfo* peer = _connectedPeers->Locate(peerName);
  if (!peer)
    return VELFail(VELP2P_ERROR_UNKNOWN_PEER, peerName.Str());
  if (length > INT32_MAX - 5 - header.GetLengthInByte())
    return VELFail(VELP2P_ERROR_TOO_LONG);
  std::vector<char> payload = VELP2PWriteChat(type, header.Str(), data, length);
  VELUnicodeString group("/");
  return SendToPeer(group, "VELP2PChatService", payload.data(), static_cast<int>(payload.size()), peer);
}
