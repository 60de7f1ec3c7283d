// The endpoint for point-to-point traffic: one TCP connection per message, carrying one wire block.
#ifndef VELP2P_TRANSPORT_VELP2PTCPENDPOINT_H
#define VELP2P_TRANSPORT_VELP2PTCPENDPOINT_H

#include <memory>

#include "velp2p/VELP2PEndPoint.h"

class VELSocketConnector;

// The connector frames each connection's block by its four-byte length and reads every connection without
// blocking, so ReceiveData only ever takes a complete block; blocks are bounded by VELSockets::kMaxBlockBytes
// on both sides.
class VELP2PTCPEndPoint : public VELP2PEndPoint {
  VEL_DECLARE_CLASS(VELP2PTCPEndPoint)
 public:
  // The first read's capacity; a longer block is read again with its reported length.
  static constexpr int kFirstReadBytes = 720;

  VELP2PTCPEndPoint();

  // Listens on the port (0: one the system chooses, announced in the record) and registers with the loop.
  // The record carries address, or the host's first address when address is null or empty. Refused,
  // changing nothing, when the endpoint is already open.
  VELResult Initialize(const char* address, int port) override;
  int IsUnicast() override;
  int IsMulticast() override;
  // A TCP endpoint cannot reach a group: always VEL_E_FAIL.
  VELResult SendToGroup(VELUnicodeString& group, const char* serviceName, char* data, int length) override;
  // Builds the block, connects to the record's address and port, sends the block and closes.
  VELResult SendToPeer(VELUnicodeString& group, const char* serviceName, char* data, int length,
                       VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  // Takes and dispatches one complete block.
  VELResult ReceiveData() override;
  VELResult SendData(VELUnicodeString& group, const char* serviceName, char* bytes, int byteLength,
                     VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  VELResult BuildMessage(VELUnicodeString& group, const char* serviceName, char* data, int length,
                         VELP2PHeader& header) override;

  using VELP2PEndPoint::Initialize;

 protected:
  ~VELP2PTCPEndPoint() override;

 private:
  std::unique_ptr<VELSocketConnector> _connector;  // the listening side, null until Initialize
};

#endif
