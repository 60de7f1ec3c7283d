// Helpers shared by the transport tests: a socket-free endpoint, a recording service and a started peer.
#ifndef VELP2P_TESTS_UNIT_TRANSPORTTESTSUPPORT_H
#define VELP2P_TESTS_UNIT_TRANSPORTTESTSUPPORT_H

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/FakeEndPoints.h"
#include "support/PeerTestAccess.h"
#include "transport/VELP2PEndPointRecord.h"
#include "velp2p/VELIP2PMessage.h"
#include "velp2p/VELP2PBaseEndPoint.h"
#include "velp2p/VELP2PCoreService.h"
#include "velp2p/VELP2PMessage.h"
#include "velp2p/VELP2PPeer.h"

namespace transporttest {

// One message as the recording service saw it.
struct Received {
  std::string sender;
  std::string group;
  std::string payload;
  int multicast = 0;
  int unicast = 0;
  VELP2PEndPointInfo reply = {};  // the sender's unicast endpoint, as GetSendingPeerEPInfo gives it
};

// One block handed to SendBuffer, with the remote record it was meant for.
struct SentBlock {
  std::vector<char> bytes;
  VELP2PEndPointInfo record = {};
  int mode() const { return static_cast<unsigned char>(bytes[7]); }
  int payloadLength() const {
    return static_cast<int>(bytes.size()) -
           ((static_cast<unsigned char>(bytes[4]) << 8) | static_cast<unsigned char>(bytes[5]));
  }
};

// Everything the recording service has seen, and what it does on each message.
struct Recording {
  std::vector<Received> messages;
  std::function<void()> onMessage;
};

inline Recording& TheRecording() {
  static Recording recording;
  return recording;
}

// Accepts every group of the wire name "StatusService" and records what it is handed.
class RecordingService : public VELP2PCoreService {
 public:
  VELResult Initialize() override { return VEL_S_OK; }
  const char* GetServiceName() override { return "StatusService"; }
  VELResult internalFilterMessageFromGroup(VELUnicodeString&) override { return VEL_S_OK; }
  VELResult HandleMessage(VELIP2PMessage* message) override {
    Received received;
    VELUnicodeString text;
    if (VEL_SUCCEEDED(message->GetSendingPeerName(text)))
      received.sender = text.Str();
    if (VEL_SUCCEEDED(message->GetMessageGroup(text)))
      received.group = text.Str();
    int length = 0;
    if (VEL_SUCCEEDED(message->GetBufferLenght(length)) && length > 0) {
      received.payload.resize(static_cast<size_t>(length));
      EXPECT_EQ(message->GetBuffer(&received.payload[0]), VEL_S_OK);
    }
    received.multicast = message->IsMulticast();
    received.unicast = message->IsUnicast();
    if (auto* concrete = dynamic_cast<VELP2PMessage*>(message))
      (void)concrete->GetSendingPeerEPInfo(received.reply, VELP2P_MESSAGE_UNICAST);
    TheRecording().messages.push_back(received);
    if (TheRecording().onMessage)
      TheRecording().onMessage();
    return VEL_S_OK;
  }
};

// An endpoint without a socket: its blocks are recorded and, when feedBack is set, received again by
// itself, as if the network had carried them back.
class LoopEndPoint : public VELP2PBaseEndPoint {
 public:
  explicit LoopEndPoint(bool unicast = true) : _unicast(unicast) {}

  int IsUnicast() override { return _unicast ? -1 : 0; }
  int IsMulticast() override { return _unicast ? 0 : -1; }
  VELResult SendBuffer(VELUnicodeString&, const char*, char* bytes, int byteLength,
                       VELP2PEndPointInfo* record, VELP2PPeerInfo*) override {
    SentBlock block;
    block.bytes.assign(bytes, bytes + byteLength);
    if (record)
      block.record = *record;
    sent.push_back(block);
    if (failFrom >= 0 && static_cast<int>(sent.size()) > failFrom)
      return VEL_E_FAIL;
    return feedBack ? Receive(block.bytes) : VEL_S_OK;
  }

  // Receives a new[] copy of the first size bytes (all when negative), sized exactly as a socket would
  // hand them over so that a read past them shows under the sanitizers. The receive path may replace the
  // copy by a reassembled block; whichever it holds afterwards is the caller's to free.
  VELResult Receive(const std::vector<char>& bytes, int size = -1) {
    const size_t count = size < 0 ? bytes.size() : static_cast<size_t>(size);
    char* copy = new char[count > 0 ? count : 1];
    std::memcpy(copy, bytes.data(), count);
    VELResult result = ReceiveBlock(copy, static_cast<int>(count));
    delete[] copy;
    return result;
  }

  std::vector<SentBlock> sent;
  bool feedBack = false;
  int failFrom = -1;  // SendBuffer fails from this many blocks on (-1: never)

 private:
  bool _unicast;
};

// A local peer named "local", connected, with the recording service registered and no endpoint.
class StartedPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2PPeerTestAccess::Reset();
    TheRecording() = Recording();
    _peer = VELP2PPeer::GetLocalPeer();
    VELP2PPeerTestAccess::SetPeerName(_peer, "local");
    ASSERT_EQ(_peer->RegisterService("TransportRecordingService"), VEL_S_OK);
    VELP2PPeerTestAccess::SetConnected(1);
  }
  void TearDown() override {
    VELP2PPeerTestAccess::Reset();
    TheRecording() = Recording();
  }

  std::vector<Received>& Messages() { return TheRecording().messages; }

  ScopedClass _serviceClass{"TransportRecordingService",
                            []() -> VELBaseUnknown* { return new (std::nothrow) RecordingService(); }};
  ScopedClass _loopClass{"TransportLoopEndPoint",
                         []() -> VELBaseUnknown* { return new (std::nothrow) LoopEndPoint(true); }};
  VELP2PPeer* _peer = nullptr;
};

// Holds one reference on an endpoint made for a test.
struct Releaser {
  void operator()(VELBaseUnknown* object) const { object->Release(); }
};
template <class T>
using Held = std::unique_ptr<T, Releaser>;

inline std::vector<uint8_t> RecordBytes(const VELP2PEndPointInfo& record) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
  return std::vector<uint8_t>(bytes, bytes + sizeof(record));
}

}  // namespace transporttest

#endif
