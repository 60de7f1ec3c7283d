// The endpoint for point-to-point traffic: wire blocks over TCP, one per connection, or many on one
// connection with peers whose record says they take them.
#ifndef VELP2P_TRANSPORT_VELP2PTCPENDPOINT_H
#define VELP2P_TRANSPORT_VELP2PTCPENDPOINT_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/VELBlockRelease.h"
#include "velp2p/VELP2PEndPoint.h"

class VELP2PSending;
class VELSocketConnector;
class VELTCPSender;

// The connector frames each connection's block by its four-byte length and reads every connection without
// blocking, so ReceiveData only ever takes a complete block; blocks are bounded by VELSockets::kMaxBlockBytes
// on both sides.
class VELP2PTCPEndPoint : public VELP2PEndPoint {
  VEL_DECLARE_CLASS(VELP2PTCPEndPoint)
 public:
  VELP2PTCPEndPoint();

  // Listens on the port (0: one the system chooses, announced in the record) and registers with the loop of
  // the node that registered it (refused without one).
  // The record carries address, or the host's first address when address is null or empty. Refused,
  // changing nothing, when the endpoint is already open.
  VELResult Initialize(const char* address, int port) override;
  int IsUnicast() override;
  int IsMulticast() override;
  // A TCP endpoint cannot reach a group: always VEL_E_FAIL.
  VELResult SendToGroup(VELUnicodeString& group, const char* serviceName, char* data, int length) override;
  // Builds the block and queues it for the record's address and port, and returns at once. A failure found
  // after the return reaches the receiver's SendFailed.
  VELResult SendToPeer(VELUnicodeString& group, const char* serviceName, char* data, int length,
                       VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  // Takes and dispatches every complete block waiting.
  VELResult ReceiveData() override;
  VELResult SendData(VELUnicodeString& group, const char* serviceName, char* bytes, int byteLength,
                     VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  VELResult BuildMessage(VELUnicodeString& group, const char* serviceName, char* data, int length,
                         VELP2PHeader& header) override;

  using VELP2PEndPoint::Initialize;

 protected:
  ~VELP2PTCPEndPoint() override;

 private:
  struct Outgoing {
    std::string peerName;
    std::string service;
  };
  struct Failed {
    Outgoing what;
    std::string address;
    const char* reason;
  };

  VELResult ReceiveOne();
  // Dispatches every block the connector holds, at the end of the turn in which they completed.
  void TakeReady();
  // Queues a built block. stream: the destination takes many per connection.
  VELResult Queue(uint32_t address, unsigned short port, VELBlockBytes bytes, int byteLength,
                  const char* serviceName, VELP2PPeerInfo* peerInfo, bool stream);
  void ReportFailures();

  std::unique_ptr<VELSocketConnector> _connector;  // the listening side, null until Initialize
  std::shared_ptr<VELP2PSending> _sending;         // the node's, kept while the endpoint lives
  std::unique_ptr<VELTCPSender> _sender;           // null until Initialize
  bool _streams = false;                           // many blocks per connection, announced in the record
  std::map<uintptr_t, Outgoing> _outgoing;         // by tag, until delivered or failed
  uintptr_t _nextTag = 1;
  std::vector<Failed> _failed;  // reported from a timer of their own, outside the sender's call
  int _reportTimer = 0;
};

#endif
