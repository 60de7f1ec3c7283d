#include "velp2p/VELP2PStatusService.h"

#include <cstring>
#include <vector>

#include "host/VELTraceMacros.h"
#include "services/VELP2PReceivedMessage.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELIBBStreamer.h"
#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PPeer.h"

VEL_IMPLEMENT_CLASS(VELP2PStatusService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(VELP2PStatusService)

namespace {

constexpr unsigned char kChange = '0';
constexpr unsigned char kUpdate = '1';
constexpr unsigned char kBirth = '2';

}  // namespace

VELP2PStatusService::VELP2PStatusService() {
  VELP2P_TRACE("VELP2PStatusService - Constructor");
}

VELP2PStatusService::~VELP2PStatusService() {
  VELP2P_TRACE("VELP2PStatusService - Destructor");
}

VELResult VELP2PStatusService::Initialize() {
  VELP2P_TRACE("VELP2PStatusService - Initialize");
  return VEL_S_OK;
}

VELResult VELP2PStatusService::internalFilterMessageFromGroup(VELUnicodeString&) {
  VELP2P_TRACE("VELP2PStatusService - internalFilterMessageFromGroup");
  return VEL_S_OK;
}

int VELP2PStatusService::MaxDescriptionBytes() {
  // One block to group "/": the fixed header, one group byte, then kind, status and the array's length.
  return VELP2P_MULTICAST_MAX_BLOCK - VELP2P_HEADER_FIXED_SIZE - 1 - (1 + 4 + 4);
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

VELResult VELP2PStatusService::UnstreamStatus(unsigned char& kind, VELP2PUserStatus* status,
                                              VELUnicodeString& desc, void* payload, int length) {
  if (!_streamer || !status)
    return VEL_E_FAIL;
  if (VEL_FAILED(_streamer->BeginUnstream(payload, length))) {
    VELP2P_TRACE("VELP2PStatusService - UnstreamStatus failed BeginStream");
    return VEL_E_FAIL;
  }
  if (VEL_FAILED(_streamer->UnstreamByte(kind))) {
    VELP2P_TRACE("VELP2PStatusService - UnstreamStatus failed UnstreamByte");
    return VEL_E_FAIL;
  }
  int32_t value = 0;
  if (VEL_FAILED(_streamer->UnstreamInt(value))) {
    VELP2P_TRACE("VELP2PStatusService - UnstreamStatus failed UnstreamInt");
    return VEL_E_FAIL;
  }
  *status = value;
  int n = 0;
  if (VEL_FAILED(_streamer->UnstreamVariableArrayLength(n)) || n <= 0) {
    VELP2P_TRACE("VELP2PStatusService - UnstreamStatus failed UnstreamVariableArrayLength");
    return VEL_E_FAIL;
  }
  std::vector<char> bytes(static_cast<size_t>(n), '\0');
  if (VEL_FAILED(_streamer->UnstreamFixedByteArray(bytes.data(), n))) {
    VELP2P_TRACE("VELP2PStatusService - UnstreamStatus failed UnstreamFixedByteArray");
    return VEL_E_FAIL;
  }
  // The single zero byte of an empty description reads back as empty.
  if (n == 1 && bytes[0] == '\0') {
    desc = VELUnicodeString();
  } else {
    desc.BuildFromUTF8(bytes.data(), n);
  }
  return _streamer->EndUnstream();
}

VELResult VELP2PStatusService::HandleMessage(VELIP2PMessage* message) {
  VELP2P_TRACE("VELP2PStatusService - HandleMessage");
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
  VELP2PUserStatus status = 6;
  VELUnicodeString desc;
  unsigned char kind = 0;
  result =
      UnstreamStatus(kind, &status, desc, received.payload.data(), static_cast<int>(received.payload.size()));
  if (VEL_FAILED(result))
    return result;
  VELUnicodeString& sender = received.sender;
  const bool fromLocal = sender == localName;
  switch (kind) {
    case kChange:
      if (!fromLocal) {
        VELDiagnosticPrintf("CHANGE For <%s>, status is <%d> and desc is <%s>\n", sender.CastToCharPtr(),
                            status, desc.CastToCharPtr());
        peer->AddStatusAndDesc(sender, status, desc);
      }
      peer->NewPeerStatus(sender, status, desc);
      break;
    case kUpdate:
      VELDiagnosticPrintf("UPDATE For <%s>, status is <%d> and desc is <%s>\n", sender.CastToCharPtr(),
                          status, desc.CastToCharPtr());
      peer->AddStatusAndDesc(sender, status, desc);
      peer->NewPeerStatus(sender, status, desc);
      break;
    case kBirth:
      if (!fromLocal) {
        VELDiagnosticPrintf("BIRTH For <%s>, status is <%d> and desc is <%s>\n", sender.CastToCharPtr(),
                            status, desc.CastToCharPtr());
        peer->AddStatusAndDesc(sender, status, desc);
      }
      break;
    default:
      break;
  }
  return VEL_S_OK;
}
