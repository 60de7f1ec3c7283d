#include "velp2p/VELP2PStatusService.h"

#include "core/VELP2PConfig.h"
#include "core/VELP2PLiveness.h"
#include "core/VELP2PReceivedMessage.h"
#include "host/VELTraceMacros.h"
#include "services/VELP2PNewcomer.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELIBBStreamer.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PPeerInfo.h"
#include "velp2p/VELSystem.h"
#include "wire/VELP2PPayloads.h"

VEL_IMPLEMENT_CLASS(VELP2PStatusService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PStatusService)

namespace {

constexpr uint8_t kPeerUpdate = '1';

// A peer's announcement of itself with its current status. From a known peer it is only a sign of life,
// which the receive path has noted already, unless it comes from another TCP endpoint (a restart the birth
// of which was lost). From a peer not known (never heard of, or expired) it is a birth: answered as one,
// and the peer is recorded with the status it carries, which is its current one.
VELResult Present(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage* message,
                  const std::vector<const VELP2PEndPointInfo*>& localRecords, VELP2PUserStatus status,
                  const VELUnicodeString& desc) {
  std::unique_ptr<VELP2PPeerInfo> info = VELP2PSenderFromHeader(message, received);
  VELHashDicVELP2PPeerInfo* connected = peer.GetConnectedPeersDirectory();
  if (!info || !connected)
    return VEL_E_FAIL;
  if (VELP2PPeerInfo* known = connected->Locate(received.sender)) {
    VELP2PLiveness* liveness = VELP2PLiveness::Get();
    if (liveness && liveness->Restarted(VELP2PLiveness::Directory::kConnected, info.get(), *known))
      info.release();
    return VEL_S_OK;
  }
  std::vector<char> announcement =
      VELP2PWriteAnnouncement(kPeerUpdate, static_cast<int32_t>(VELGetProcessId()), localRecords);
  (void)VELP2PAnswerNewcomer(peer, *info, announcement, kPeerUpdate);
  if (VEL_SUCCEEDED(peer.NewPeerBirth(info.get())))
    info.release();
  // Only while the birth's subscribers have left the peer connected and the newcomer recorded.
  if (peer.IsPeerConnected(received.sender)) {
    peer.AddStatusAndDesc(received.sender, status, desc);
    peer.NewPeerStatus(received.sender, status, desc);
  }
  return VEL_S_OK;
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
        VELDiagnosticPrintf("CHANGE For <%s>, status is <%d> and desc is <%s>\n", sender.CastToCharPtr(),
                            status, desc.CastToCharPtr());
        peer.AddStatusAndDesc(sender, status, desc);
        if (_changed.size() < static_cast<size_t>(kVELP2PMaxKnownPeers))
          _changed.insert(sender.Str());
      }
      peer.NewPeerStatus(sender, status, desc);
      break;
    case kVELP2PStatusUpdate:
      // Every status this answer to the local birth can carry, but the first, was also multicast as a change,
      // and the answer may have left before the last change: once a change has been heard, the answer can
      // only bring back an older status.
      if (_changed.count(sender.Str()))
        break;
      VELDiagnosticPrintf("UPDATE For <%s>, status is <%d> and desc is <%s>\n", sender.CastToCharPtr(),
                          status, desc.CastToCharPtr());
      peer.AddStatusAndDesc(sender, status, desc);
      peer.NewPeerStatus(sender, status, desc);
      break;
    case kVELP2PStatusBirth:
      if (fromLocal)
        break;
      // Peers announce themselves again with this kind: heard by multicast, it is presence.
      if (received.multicast)
        return Present(peer, received, message, LocalRecords(peer), status, desc);
      VELDiagnosticPrintf("BIRTH For <%s>, status is <%d> and desc is <%s>\n", sender.CastToCharPtr(), status,
                          desc.CastToCharPtr());
      peer.AddStatusAndDesc(sender, status, desc);
      break;
    default:
      break;
  }
  return VEL_S_OK;
}
