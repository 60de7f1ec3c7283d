#include "velp2p/VELP2PBaseEndPoint.h"

#include "host/VELTraceMacros.h"
#include "transport/VELP2PEndPointRecord.h"
#include "velp2p/VELP2PHeader.h"

VEL_IMPLEMENT_CLASS(VELP2PBaseEndPoint, VELBaseUnknown)

VELP2PBaseEndPoint::VELP2PBaseEndPoint() = default;

VELP2PBaseEndPoint::~VELP2PBaseEndPoint() = default;

VELResult VELP2PBaseEndPoint::Initialize(const char* address, int port) {
  VELResult bound = Initialize();
  int kind = IsUnicast() ? VELP2P_ENDPOINT_UNICAST : (IsMulticast() ? VELP2P_ENDPOINT_MULTICAST : 0);
  if (VEL_FAILED(VELP2PMakeReversedRecord(address, port, kind, *_endPointInfo)))
    return VEL_E_FAIL;
  _address = address;
  _port = port;
  return bound;
}

VELResult VELP2PBaseEndPoint::SendToGroup(VELUnicodeString& group, const char* serviceName, char* data,
                                          int length) {
  return SplitAndSend(group, serviceName, data, length, nullptr, nullptr);
}

VELResult VELP2PBaseEndPoint::SendToPeer(VELUnicodeString& group, const char* serviceName, char* data,
                                         int length, VELP2PEndPointInfo* endPointInfo,
                                         VELP2PPeerInfo* peerInfo) {
  return SplitAndSend(group, serviceName, data, length, endPointInfo, peerInfo);
}

VELResult VELP2PBaseEndPoint::ReceiveData() {
  return VEL_S_OK;
}

VELResult VELP2PBaseEndPoint::SendData(VELUnicodeString& group, const char* serviceName, char* bytes,
                                       int byteLength, VELP2PEndPointInfo* endPointInfo,
                                       VELP2PPeerInfo* peerInfo) {
  return SendBuffer(group, serviceName, bytes, byteLength, endPointInfo, peerInfo);
}

VELResult VELP2PBaseEndPoint::BuildMessage(VELUnicodeString& group, const char* serviceName, char* data,
                                           int length, VELP2PHeader& header) {
  int mode;
  if (IsUnicast()) {
    mode = 0;
  } else if (IsMulticast()) {
    mode = 1;
  } else {
    return VEL_E_FAIL;
  }
  return BuildBlock(group, serviceName, data, length, mode, header);
}
