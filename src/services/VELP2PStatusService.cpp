#include "services/VELP2PStatusService.h"

#include "core/VELP2PConfig.h"
#include "core/VELP2PLiveness.h"
#include "core/VELP2PNode.h"
#include "core/VELP2PReceivedMessage.h"
#include "core/VELP2PRecordFacts.h"
#include "core/VELP2PStatusStore.h"
#include "host/VELTraceMacros.h"
#include "services/VELP2PAwarenessService.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELIBBStreamer.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"
#include "wire/VELP2PMessage.h"
#include "wire/VELP2PPayloads.h"

VEL_IMPLEMENT_CLASS(VELP2PStatusService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PStatusService)

namespace {

// The sender of a multicast message as a directory record: the multicast endpoint that sent it, and the TCP
// endpoint its header names for answers (when it names one). Null when the message reads no header.
std::unique_ptr<VELP2PPeerInfo> SenderFromHeader(VELP2PPeer& peer, VELIP2PMessage* message,
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
  std::vector<VELP2PEndPointInfo> records = {sending};
  if (answering.address != 0 && answering.port != 0)
    records.push_back(answering);
  auto info =
      std::make_unique<VELP2PPeerInfo>(received.sender, static_cast<int>(records.size()), received.group);
  if (VEL_FAILED(info->Initialize(reinterpret_cast<char*>(records.data()),
                                  static_cast<int>(records.size() * sizeof(VELP2PEndPointInfo)))))
    return nullptr;
  (void)VELP2PRecordFacts::Attach(*info, peer.Node()->Guard());
  return info;
}

// A peer's announcement of itself with its current status, heard by multicast. From a known peer it is only a
// sign of life, which the receive path has noted already, unless it comes from another TCP endpoint (a
// restart the birth of which was lost): then the known endpoint is checked. From a peer not known (never
// heard of, or removed) it is a birth: answered as one, and the peer is recorded with the status it carries,
// its current one. False when the message reads no header, for the described handling to apply.
bool Present(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage* message,
             VELP2PUserStatus status, const VELUnicodeString& desc) {
  std::unique_ptr<VELP2PPeerInfo> info = SenderFromHeader(peer, message, received);
  VELHashDicVELP2PPeerInfo* connected = peer.GetConnectedPeersDirectory();
  if (!info || !connected)
    return false;
  if (VELP2PPeerInfo* known = connected->Locate(received.sender)) {
    VELP2PLiveness* liveness = peer.Node()->Liveness();
    if (liveness && liveness->Restarted(VELP2PLiveness::Directory::kConnected, info.get(), *known))
      info.release();
    return true;
  }
  if (auto* awareness = dynamic_cast<VELP2PAwarenessService*>(peer.GetService("AwarenessService")))
    (void)awareness->Answer(peer, *info, false);
  if (VEL_SUCCEEDED(peer.NewPeerBirth(info.get())))
    info.release();
  // Only while the birth's subscribers have left the peer connected and the newcomer recorded.
  if (peer.IsPeerConnected(received.sender)) {
    peer.AddStatusAndDesc(received.sender, status, desc);
    if (VELP2PStatusStore* store = peer.GetStatusStore())
      store->Notice(received.sender);
    peer.NewPeerStatus(received.sender, status, desc);
  }
  return true;
}

}  // namespace

VELP2PStatusService::VELP2PStatusService() : VELP2PCoreService(true) {
  VELP2P_TRACE("VELP2PStatusService - Constructor");
}

VELP2PStatusService::~VELP2PStatusService() {
  VELP2P_TRACE("VELP2PStatusService - Destructor");
}

int VELP2PStatusService::MaxDescriptionBytes() {
  return VELP2PMaxStatusDescriptionBytes();
}

VELResult VELP2PStatusService::StreamStatus(VELIBBStreamer* streamer, unsigned char kind,
                                            VELP2PUserStatus status, const VELUnicodeString& desc,
                                            void*& payload, int& length) {
  if (!streamer)
    return VEL_E_FAIL;
  // The description travels as its UTF-8 bytes; an empty one as a single zero byte, never as no byte.
  std::string bytes = desc.IsEmpty() ? std::string(1, '\0') : desc.Str();
  const char* failure = nullptr;
  VELResult arrayResult = VEL_S_OK;
  if (VEL_FAILED(streamer->BeginStream())) {
    failure = "VELP2PPeer - ChangeP2PStatus failed BeginStream";
  } else if (VEL_FAILED(streamer->StreamByte(kind)) || VEL_FAILED(streamer->StreamInt(status))) {
    failure = "VELP2PPeer - ChangeP2PStatus failed StreamString";
  } else if (VEL_FAILED(arrayResult =
                            streamer->StreamFixedByteArray(bytes.data(), static_cast<int>(bytes.size())))) {
    failure = "VELP2PPeer - ChangeP2PStatus failed StreamFixedByteArray";
  } else if (!(payload = streamer->EndStream(length))) {
    failure = "VELP2PPeer - ChangeP2PStatus failed EndStream";
  }
  if (failure) {
    VELP2P_TRACE(failure);
    streamer->Release();
    return VEL_E_FAIL;
  }
  return arrayResult;
}

VELResult VELP2PStatusService::Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received,
                                       VELIP2PMessage* message) {
  VELP2PStatusPayload payload;
  if (!VELP2PReadStatus(received.payload.data(), received.payload.size(), payload))
    return VEL_E_FAIL;
  const VELP2PUserStatus status = payload.status;
  VELUnicodeString desc;
  if (payload.descBytes > 0)
    desc.BuildFromUTF8(payload.desc, payload.descBytes);
  VELUnicodeString& sender = received.sender;
  const bool fromLocal = peer.GetPeerName() && sender == *peer.GetPeerName();
  switch (payload.kind) {
    case kVELP2PStatusChange:
      if (!fromLocal) {
        VELDiagnosticPrintf(VELP2PDiagnosticsOf(peer), "CHANGE For <%s>, status is <%d> and desc is <%s>\n",
                            sender.CastToCharPtr(), status, desc.CastToCharPtr());
        peer.AddStatusAndDesc(sender, status, desc);
        if (VELP2PStatusStore* store = peer.GetStatusStore())
          store->Notice(sender);
      }
      peer.NewPeerStatus(sender, status, desc);
      break;
    case kVELP2PStatusUpdate: {
      // Every status this answer can carry, but the peer's first, was also multicast as a change, and the
      // answer may have left before the last change: once a change notice has been heard since the peer's
      // birth, the answer can only bring back an older status.
      const VELP2PStatusStore* store = peer.GetStatusStore();
      if (store && store->Noticed(sender))
        break;
      VELDiagnosticPrintf(VELP2PDiagnosticsOf(peer), "UPDATE For <%s>, status is <%d> and desc is <%s>\n",
                          sender.CastToCharPtr(), status, desc.CastToCharPtr());
      peer.AddStatusAndDesc(sender, status, desc);
      peer.NewPeerStatus(sender, status, desc);
      break;
    }
    case kVELP2PStatusBirth:
      if (fromLocal)
        break;
      // Peers announce themselves again with this kind: heard by multicast from a peer not known, it is a
      // birth (one from a known peer skips the dispatch unless its endpoint changed).
      if (received.multicast && Present(peer, received, message, status, desc))
        break;
      VELDiagnosticPrintf(VELP2PDiagnosticsOf(peer), "BIRTH For <%s>, status is <%d> and desc is <%s>\n",
                          sender.CastToCharPtr(), status, desc.CastToCharPtr());
      peer.AddStatusAndDesc(sender, status, desc);
      // Multicast like the changes, from the same socket, so heard in the order they were sent: newer than
      // any answer that has not arrived yet.
      if (VELP2PStatusStore* store = peer.GetStatusStore())
        store->Notice(sender);
      break;
    default:
      break;
  }
  return VEL_S_OK;
}
