// The one socket-free transport of the tests: an endpoint that records what the peer sends, either as
// payloads (what services asked for) or, in wire mode, as the blocks the splitting send path builds, which
// it can carry back to itself. Deliver hands the local peer a block through an endpoint's receive path.
#ifndef VELP2P_TESTS_FAKEENDPOINTS_H
#define VELP2P_TESTS_FAKEENDPOINTS_H

#include <string>
#include <vector>

#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PBaseEndPoint.h"

class VELP2PNode;

struct SentMessage {
  bool toGroup;  // SendToGroup (multicast) or SendToPeer (unicast)
  std::string group;
  std::string service;
  std::vector<char> payload;
  VELP2PEndPointInfo remote;  // the remote record of a SendToPeer
  bool automatic = false;     // queued in the automatic lane
};

// One block handed to the medium in wire mode, with the remote record it was meant for.
struct SentBlock {
  std::vector<char> bytes;
  VELP2PEndPointInfo record;
};

// Everything the fake endpoints were asked to send (not in wire mode), in order.
std::vector<SentMessage>& FakeSent();

// Every Initialize of a fake endpoint, in order, as "multicast <address> <port>" or "unicast <address>
// <port>".
std::vector<std::string>& FakeInitialized();

// Unicast: record kind 1 with the dotted address in network order ("" is 127.0.0.1). Multicast: kind 2
// with the address bytes reversed (defaults 224.0.1.85:2678).
class FakeEndPoint : public VELP2PBaseEndPoint {
 public:
  explicit FakeEndPoint(bool unicast);
  VELResult Initialize(const char* address, int port) override;
  int IsUnicast() override { return _unicast ? -1 : 0; }
  int IsMulticast() override { return _unicast ? 0 : -1; }
  VELResult SendToGroup(VELUnicodeString& group, const char* serviceName, char* data, int length) override;
  VELResult SendToPeer(VELUnicodeString& group, const char* serviceName, char* data, int length,
                       VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  VELResult SendBuffer(VELUnicodeString& group, const char* serviceName, char* bytes, int byteLength,
                       VELP2PEndPointInfo* record, VELP2PPeerInfo* peerInfo) override;
  // Receives the first size bytes (all when negative), copied to a buffer of exactly that size so that a
  // read past them shows under the sanitizers, as coming from the dotted address source (none: unknown).
  VELResult ReceiveBytes(const std::vector<char>& bytes, int size = -1, const char* source = nullptr);

  bool wire = false;      // sends go through the splitting path into blocks
  bool feedBack = false;  // in wire mode, every block is received again by this endpoint
  int failFrom = -1;      // in wire mode, SendBuffer fails from this many blocks on (-1: never)
  std::vector<SentBlock> blocks;

 private:
  bool _unicast;
};

// Registers a creation function under a class name for the scope, restoring what was there before.
class ScopedClass {
 public:
  ScopedClass(const char* className, VELCreateFunction create);
  ~ScopedClass();

 private:
  std::string _name;
  VELCreateFunction _previous;
};

// Registers the fake endpoints under the library's multicast and TCP endpoint class names.
class ScopedFakeEndPoints {
 public:
  ScopedFakeEndPoints();

 private:
  ScopedClass _multicast;
  ScopedClass _unicast;
};

// Builds a block from the given sender fields and payload and receives it on a fresh fake endpoint of the
// matching kind, as a socket of node would. The sender's unicast record goes into senderAddress/senderPort
// (unicast) or otherAddress/otherPort (multicast). The block comes from the dotted address source, of this
// host or another as the address says; from nowhere known without one. Returns the receive path's result.
VELResult Deliver(VELP2PNode& node, const char* group, const char* service, const char* sender,
                  const std::vector<char>& payload, bool multicast, const VELP2PEndPointInfo& senderUnicast,
                  const char* source = nullptr);

// A unicast record for a dotted address and port.
VELP2PEndPointInfo UnicastRecord(const char* dotted, int port);

// Bytes as a lower-case hex text, for readable assertions.
std::string Hex(const std::vector<char>& bytes);

#endif
