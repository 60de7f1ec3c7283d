// The multicast and TCP endpoints on real sockets, inside the private network namespace, served by the loop.
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/VELUDPSocket.h"
#include "support/NetSandbox.h"
#include "unit/TransportTestSupport.h"
#include "unit/WireTestSupport.h"
#include "velp2p/VELApplication.h"
#include "wire/VELByteOrder.h"

namespace {

using transporttest::RecordBytes;

const int kWaitMs = 3000;

class TransportSockets : public transporttest::StartedPeerTest {
 protected:
  void SetUp() override {
    if (!VELTestInPrivateNetwork())
      GTEST_SKIP() << "socket tests need a private network namespace; run ./run test";
    _application = std::make_unique<VELApplication>();
    transporttest::StartedPeerTest::SetUp();
  }
  void TearDown() override {
    // The endpoints end their loop registrations while the application still exists.
    transporttest::StartedPeerTest::TearDown();
    _application.reset();
  }

  VELP2PEndPoint* Register(const char* className) {
    return VELP2PPeerTestAccess::RegisterEndPoint(_peer, className);
  }

  bool WaitForMessages(size_t count) {
    return _application->RunUntil([this, count]() { return Messages().size() >= count; }, kWaitMs);
  }

  std::unique_ptr<VELApplication> _application;
};

TEST_F(TransportSockets, MulticastDefaultsGiveTheWellKnownRecord) {
  // 08 02 | port 2678 = 0A 76 | 224.0.1.85 reversed = 55 01 00 E0
  const std::vector<uint8_t> expected = {0x08, 0x02, 0x0A, 0x76, 0x55, 0x01, 0x00, 0xE0};
  VELP2PEndPoint* byNull = Register("VELP2PMultiCastEndPoint");
  VELP2PEndPoint* byEmpty = Register("VELP2PMultiCastEndPoint");
  ASSERT_TRUE(byNull && byEmpty);
  ASSERT_EQ(byNull->Initialize(nullptr, 0), VEL_S_OK);
  ASSERT_EQ(byEmpty->Initialize("", 0), VEL_S_OK);
  EXPECT_EQ(RecordBytes(*byNull->GetEndPointInfo()), expected);
  EXPECT_EQ(RecordBytes(*byEmpty->GetEndPointInfo()), expected);
  EXPECT_EQ(byNull->IsUnicast(), 0);
  EXPECT_NE(byNull->IsMulticast(), 0);

  // Open already: refused, and the record of the open socket stays.
  EXPECT_EQ(byNull->Initialize("224.0.1.86", 3000), VEL_E_FAIL);
  EXPECT_EQ(RecordBytes(*byNull->GetEndPointInfo()), expected);
}

TEST_F(TransportSockets, MulticastRefusesUnreadableAddressBeforeOpening) {
  VELP2PEndPoint* endpoint = Register("VELP2PMultiCastEndPoint");
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->Initialize("224.0.1.856", 0), VEL_E_FAIL);
  EXPECT_EQ(endpoint->Initialize("224.0.1.85", 70000), VEL_E_FAIL);
  // Nothing was opened, so the endpoint can still be opened.
  EXPECT_EQ(endpoint->Initialize("224.0.1.85", VELTestPort(61)), VEL_S_OK);
}

TEST_F(TransportSockets, MulticastCarriesBlocksUpToTheDatagramBufferAndRefusesLonger) {
  VELP2PEndPoint* endpoint = Register("VELP2PMultiCastEndPoint");
  ASSERT_TRUE(endpoint);
  ASSERT_EQ(endpoint->Initialize("224.0.1.85", VELTestPort(62)), VEL_S_OK);
  VELUnicodeString group("/");
  // 88 + 1 + 935 = 1024 bytes: the largest block a receiver reads whole.
  std::string fits = wiretest::PatternPayload(935);
  ASSERT_EQ(endpoint->SendToGroup(group, "StatusService", &fits[0], 935), VEL_S_OK);
  ASSERT_TRUE(WaitForMessages(1));
  EXPECT_EQ(Messages()[0].payload, fits);
  EXPECT_EQ(Messages()[0].multicast, 1);

  wiretest::TraceCapture trace;
  std::string tooLong = wiretest::PatternPayload(936);
  EXPECT_EQ(endpoint->SendToGroup(group, "StatusService", &tooLong[0], 936), VEL_E_FAIL);
  EXPECT_TRUE(
      trace.Has("VELP2PMultiCastEndPoint - SendToGroup : block of <1025> bytes exceeds <1024>, not sent"));
}

TEST_F(TransportSockets, MulticastDiscardsCutAndOverlongDatagrams) {
  const unsigned short port = VELTestPort(63);
  VELP2PEndPoint* endpoint = Register("VELP2PMultiCastEndPoint");
  ASSERT_TRUE(endpoint);
  ASSERT_EQ(endpoint->Initialize("224.0.1.85", port), VEL_S_OK);
  VELUDPSocket raw;
  ASSERT_EQ(raw.Initialize(nullptr, port, "224.0.1.85"), 0);

  wiretest::BlockSpec layout;
  std::vector<char> good = wiretest::BuildBlock(layout, "whole");
  // Announces 200 bytes but brings 94.
  std::vector<char> cut = wiretest::BuildBlock(layout, "cut");
  VELP2PStoreU32BE(&cut[0], 200);
  // 1100 bytes: more than the receive buffer holds.
  std::vector<char> overlong = wiretest::BuildBlock(layout, wiretest::PatternPayload(1100 - 89));
  ASSERT_EQ(overlong.size(), 1100u);

  ASSERT_EQ(raw.Send(cut.data(), static_cast<int>(cut.size())), 0);
  ASSERT_EQ(raw.Send(overlong.data(), static_cast<int>(overlong.size())), 0);
  ASSERT_EQ(raw.Send(good.data(), static_cast<int>(good.size())), 0);
  // Datagrams arrive in order on the one socket: once the good one is handled, the others were dropped.
  ASSERT_TRUE(WaitForMessages(1));
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].payload, "whole");
}

TEST_F(TransportSockets, TcpAnnouncesChosenPortAndDeliversBlockLongerThanFirstRead) {
  VELP2PEndPoint* endpoint = Register("VELP2PTCPEndPoint");
  ASSERT_TRUE(endpoint);
  ASSERT_EQ(endpoint->Initialize("127.0.0.1", 0), VEL_S_OK);
  const VELP2PEndPointInfo own = *endpoint->GetEndPointInfo();
  const std::vector<uint8_t> bytes = RecordBytes(own);
  EXPECT_EQ(bytes[0], 0x08);
  EXPECT_EQ(bytes[1], 0x01);
  EXPECT_NE(VELP2PRecordPort(own), 0);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 4, bytes.end()), (std::vector<uint8_t>{127, 0, 0, 1}));
  EXPECT_EQ(endpoint->Initialize("127.0.0.1", 0), VEL_E_FAIL);

  VELUnicodeString group("/P2PRoot");
  std::string payload = wiretest::PatternPayload(2000);
  VELP2PEndPointInfo target = own;
  ASSERT_EQ(endpoint->SendToPeer(group, "StatusService", &payload[0], 2000, &target, nullptr), VEL_S_OK);
  ASSERT_TRUE(WaitForMessages(1));
  EXPECT_EQ(Messages()[0].payload, payload);
  EXPECT_EQ(Messages()[0].unicast, 1);
  EXPECT_EQ(Messages()[0].sender, "local");
  // A TCP message is answered at the endpoint that sent it (port and address; the rest is the caller's).
  const std::vector<uint8_t> reply = RecordBytes(Messages()[0].reply);
  EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 2, reply.end()),
            std::vector<uint8_t>(bytes.begin() + 2, bytes.end()));
  EXPECT_EQ(endpoint->SendToGroup(group, "StatusService", &payload[0], 1), VEL_E_FAIL);
}

// The handler disconnects the peer, whose tear-down releases the endpoint that is running the handler.
void ExpectEndpointOutlivesItsHandler(VELP2PPeer* peer, const char* className, const char* destructorTrace,
                                      const std::function<void(VELP2PEndPoint*)>& send,
                                      const std::function<bool()>& wait) {
  wiretest::TraceCapture trace;
  int destroyedDuringHandler = -1;
  transporttest::TheRecording().onMessage = [&]() {
    EXPECT_EQ(peer->Disconnect(), VEL_S_OK);
    destroyedDuringHandler = trace.Count(destructorTrace);
  };
  VELP2PEndPoint* endpoint = VELP2PPeerTestAccess::RegisterEndPoint(peer, className);
  ASSERT_TRUE(endpoint);
  send(endpoint);
  ASSERT_TRUE(wait()) << className;
  EXPECT_EQ(destroyedDuringHandler, 0) << className;
  EXPECT_EQ(trace.Count(destructorTrace), 1) << className;
  EXPECT_EQ(peer->GetUnicastEndPoints(), nullptr);
  EXPECT_EQ(peer->GetMulticastEndPoints(), nullptr);
}

TEST_F(TransportSockets, TcpEndpointOutlivesHandlerThatDisconnectsThePeer) {
  ExpectEndpointOutlivesItsHandler(
      _peer, "VELP2PTCPEndPoint", "VELP2PTCPEndPoint - Destructor",
      [](VELP2PEndPoint* endpoint) {
        ASSERT_EQ(endpoint->Initialize("127.0.0.1", 0), VEL_S_OK);
        VELP2PEndPointInfo target = *endpoint->GetEndPointInfo();
        VELUnicodeString group("/");
        char payload[] = "bye";
        ASSERT_EQ(endpoint->SendToPeer(group, "StatusService", payload, 3, &target, nullptr), VEL_S_OK);
      },
      [this]() { return WaitForMessages(1); });
}

TEST_F(TransportSockets, MulticastEndpointOutlivesHandlerThatDisconnectsThePeer) {
  ExpectEndpointOutlivesItsHandler(
      _peer, "VELP2PMultiCastEndPoint", "VELP2PMultiCastEndPoint - Destructor",
      [](VELP2PEndPoint* endpoint) {
        ASSERT_EQ(endpoint->Initialize("224.0.1.85", VELTestPort(64)), VEL_S_OK);
        VELUnicodeString group("/");
        char payload[] = "bye";
        ASSERT_EQ(endpoint->SendToGroup(group, "StatusService", payload, 3), VEL_S_OK);
      },
      [this]() { return WaitForMessages(1); });
}

}  // namespace
