// The endpoint for group-wide traffic: one UDP datagram to the multicast group per message.
#ifndef VELP2P_TRANSPORT_VELP2PMULTICASTENDPOINT_H
#define VELP2P_TRANSPORT_VELP2PMULTICASTENDPOINT_H

#include <memory>

#include "velp2p/VELP2PEndPoint.h"

class VELUDPSocket;

// Every block goes whole into one datagram, and receivers read datagrams into VELP2P_MULTICAST_MAX_BLOCK
// bytes: a message whose block would be longer is refused by SendToGroup rather than sent to be cut, and a
// datagram that was cut or that announces more bytes than it brought is discarded on receipt.
class VELP2PMultiCastEndPoint : public VELP2PEndPoint {
  VEL_DECLARE_CLASS(VELP2PMultiCastEndPoint)
 public:
  static constexpr const char* kDefaultAddress = "224.0.1.85";
  static constexpr int kDefaultPort = 2678;

  VELP2PMultiCastEndPoint();

  // Joins the group (null or empty: kDefaultAddress) on the port (0: kDefaultPort) and registers with the
  // loop. Refused, changing nothing, when the endpoint is already open.
  VELResult Initialize(const char* address, int port) override;
  int IsUnicast() override;
  int IsMulticast() override;
  VELResult SendToGroup(VELUnicodeString& group, const char* serviceName, char* data, int length) override;
  // A multicast endpoint cannot reach one peer: always VEL_E_FAIL.
  VELResult SendToPeer(VELUnicodeString& group, const char* serviceName, char* data, int length,
                       VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  // Reads and dispatches one datagram.
  VELResult ReceiveData() override;
  VELResult SendData(VELUnicodeString& group, const char* serviceName, char* bytes, int byteLength,
                     VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  VELResult BuildMessage(VELUnicodeString& group, const char* serviceName, char* data, int length,
                         VELP2PHeader& header) override;

  using VELP2PEndPoint::Initialize;

 protected:
  ~VELP2PMultiCastEndPoint() override;

 private:
  std::unique_ptr<VELUDPSocket> _udpSocket;  // null until Initialize opens it
};

#endif
