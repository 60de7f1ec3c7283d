#include "velp2p/VELP2PStatusService.h"

#include "core/VELP2PConfig.h"
#include "core/VELP2PReceivedMessage.h"
#include "core/VELP2PStatusStore.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELIBBStreamer.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELP2PPayloads.h"

VEL_IMPLEMENT_CLASS(VELP2PStatusService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PStatusService)

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

VELResult VELP2PStatusService::Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage*) {
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
      VELDiagnosticPrintf("UPDATE For <%s>, status is <%d> and desc is <%s>\n", sender.CastToCharPtr(),
                          status, desc.CastToCharPtr());
      peer.AddStatusAndDesc(sender, status, desc);
      peer.NewPeerStatus(sender, status, desc);
      break;
    }
    case kVELP2PStatusBirth:
      if (!fromLocal) {
        VELDiagnosticPrintf("BIRTH For <%s>, status is <%d> and desc is <%s>\n", sender.CastToCharPtr(),
                            status, desc.CastToCharPtr());
        peer.AddStatusAndDesc(sender, status, desc);
        // Multicast like the changes, from the same socket, so heard in the order they were sent: newer than
        // any answer that has not arrived yet.
        if (VELP2PStatusStore* store = peer.GetStatusStore())
          store->Notice(sender);
      }
      break;
    default:
      break;
  }
  return VEL_S_OK;
}
