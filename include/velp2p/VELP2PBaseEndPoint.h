// The exported base for endpoint classes outside the library: it builds and splits messages, and the
// deriving class only puts finished blocks on its own medium.
#ifndef VELP2P_VELP2PBASEENDPOINT_H
#define VELP2P_VELP2PBASEENDPOINT_H

#include "velp2p/VELP2PEndPoint.h"

// A deriving class supplies IsUnicast, IsMulticast and SendBuffer, and feeds what it receives to
// ReceiveBlock. Payloads longer than 1000 bytes leave as fragment groups of 500-byte pieces.
class VELP2P_API VELP2PBaseEndPoint : public VELP2PEndPoint {
  VEL_DECLARE_CLASS(VELP2PBaseEndPoint)
 public:
  VELP2PBaseEndPoint();

  // Binds to the local peer and fills the record in the multicast layout (address components reversed),
  // with the kind the class answers to. Opens nothing. Fails for an address that is not a dotted IPv4
  // address or a port outside 0 to 65535.
  VELResult Initialize(const char* address, int port) override;
  VELResult SendToGroup(VELUnicodeString& group, const char* serviceName, char* data, int length) override;
  VELResult SendToPeer(VELUnicodeString& group, const char* serviceName, char* data, int length,
                       VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  // Receiving is the deriving class's: it calls ReceiveBlock. This does nothing.
  VELResult ReceiveData() override;
  // Forwards to SendBuffer.
  VELResult SendData(VELUnicodeString& group, const char* serviceName, char* bytes, int byteLength,
                     VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  // A header in unicast mode for a unicast class, in multicast mode for a multicast one.
  VELResult BuildMessage(VELUnicodeString& group, const char* serviceName, char* data, int length,
                         VELP2PHeader& header) override;

  // Puts one finished wire block (a whole message or one fragment) on the medium; the bytes are valid only
  // during the call.
  virtual VELResult SendBuffer(VELUnicodeString& group, const char* serviceName, char* bytes, int byteLength,
                               VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) = 0;

  using VELP2PEndPoint::Initialize;

 protected:
  ~VELP2PBaseEndPoint() override;
};

#endif
