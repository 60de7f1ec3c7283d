// Socket-free endpoints and helpers for driving a started peer in unit tests: the endpoints record what
// the peer sends, and Deliver hands the peer a block as if an endpoint had received it.
#ifndef VELP2P_TESTS_FAKEENDPOINTS_H
#define VELP2P_TESTS_FAKEENDPOINTS_H

#include <string>
#include <vector>

#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PHeader.h"

struct SentMessage {
  bool toGroup;  // SendToGroup (multicast) or SendToPeer (unicast)
  std::string group;
  std::string service;
  std::vector<char> payload;
  VELP2PEndPointInfo remote;  // the remote record of a SendToPeer
};

// Everything the fake endpoints were asked to send, in order.
std::vector<SentMessage>& FakeSent();

// Every Initialize of a fake endpoint, in order, as "multicast <address> <port>" or "unicast <address>
// <port>".
std::vector<std::string>& FakeInitialized();

// A unicast endpoint: record kind 1 with the dotted address in network order. Sends to a record whose
// port is FailingPort() fail, for tests of the fall-through.
class FakeUnicastEndPoint : public VELP2PEndPoint {
 public:
  static int& FailingPort();
  VELResult Initialize(const char* address, int port) override;
  int IsUnicast() override { return -1; }
  int IsMulticast() override { return 0; }
  VELResult SendToGroup(VELUnicodeString&, const char*, char*, int) override { return VEL_E_FAIL; }
  VELResult SendToPeer(VELUnicodeString& group, const char* serviceName, char* data, int length,
                       VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  VELResult ReceiveData() override { return VEL_S_OK; }
  VELResult SendData(VELUnicodeString&, const char*, char*, int, VELP2PEndPointInfo*,
                     VELP2PPeerInfo*) override {
    return VEL_S_OK;
  }
  VELResult BuildMessage(VELUnicodeString&, const char*, char*, int, VELP2PHeader&) override {
    return VEL_S_OK;
  }
};

// A multicast endpoint: record kind 2 with the address bytes reversed.
class FakeMulticastEndPoint : public VELP2PEndPoint {
 public:
  VELResult Initialize(const char* address, int port) override;
  int IsUnicast() override { return 0; }
  int IsMulticast() override { return -1; }
  VELResult SendToGroup(VELUnicodeString& group, const char* serviceName, char* data, int length) override;
  VELResult SendToPeer(VELUnicodeString&, const char*, char*, int, VELP2PEndPointInfo*,
                       VELP2PPeerInfo*) override {
    return VEL_E_FAIL;
  }
  VELResult ReceiveData() override { return VEL_S_OK; }
  VELResult SendData(VELUnicodeString&, const char*, char*, int, VELP2PEndPointInfo*,
                     VELP2PPeerInfo*) override {
    return VEL_S_OK;
  }
  VELResult BuildMessage(VELUnicodeString&, const char*, char*, int, VELP2PHeader&) override {
    return VEL_S_OK;
  }
};

// A unicast endpoint that never gets a record of its own and sends nothing: a peer whose only endpoint
// it is announces no record.
class FakeRecordlessEndPoint : public FakeUnicastEndPoint {
 public:
  VELResult Initialize(const char*, int) override {
    _endPointInfo.reset();
    return VEL_S_OK;
  }
  VELResult SendToPeer(VELUnicodeString&, const char*, char*, int, VELP2PEndPointInfo*,
                       VELP2PPeerInfo*) override {
    return VEL_E_FAIL;
  }
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

// Registers the fake endpoints under the library's multicast and TCP endpoint class names, and the
// recordless one under its own.
class ScopedFakeEndPoints {
 public:
  ScopedFakeEndPoints();

 private:
  ScopedClass _multicast;
  ScopedClass _unicast;
  ScopedClass _recordless;
};

// Builds a block from the given sender fields and payload and hands it to the local peer's Dispatch, as
// the receive path would. multicast selects the mode; the sender's unicast record goes into
// senderAddress/senderPort (unicast) or otherAddress/otherPort (multicast). Returns Dispatch's result.
VELResult Deliver(const char* group, const char* service, const char* sender,
                  const std::vector<char>& payload, bool multicast, const VELP2PEndPointInfo& senderUnicast);

// A unicast record for a dotted address and port.
VELP2PEndPointInfo UnicastRecord(const char* dotted, int port);

// Bytes as a lower-case hex text, for readable assertions.
std::string Hex(const std::vector<char>& bytes);

#endif
