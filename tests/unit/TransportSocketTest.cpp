// The multicast and TCP endpoints on real sockets, inside the private network namespace, served by the loop.
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

class TransportSockets : public transporttest::StartedPeerTest {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    _application = std::make_unique<VELApplication>();
    transporttest::StartedPeerTest::SetUp();
  }
  void TearDown() override {
    // The endpoints end their loop registrations while the application still exists.
    transporttest::StartedPeerTest::TearDown();
    _application.reset();
  }

  VELP2PEndPoint* Open(const char* className, const char* address, int port) {
    VELP2PEndPoint* endpoint = VELP2PPeerTestAccess::RegisterEndPoint(_peer, className);
    EXPECT_TRUE(endpoint && VEL_SUCCEEDED(endpoint->Initialize(address, port))) << className;
    return endpoint;
  }

  bool WaitForMessages(size_t count) {
    return _application->RunUntil([this, count]() { return Messages().size() >= count; }, 3000);
  }

  // The handler disconnects the peer, whose tear-down releases the endpoint that is running the handler.
  void ExpectEndPointOutlivesItsHandler(const char* className, const std::function<void()>& send) {
    TraceCapture trace;
    const std::string destructor = std::string(className) + " - Destructor";
    int destroyedDuringHandler = -1;
    transporttest::TheRecording().onMessage = [&]() {
      EXPECT_EQ(_peer->Disconnect(), VEL_S_OK);
      destroyedDuringHandler = trace.Count(destructor);
    };
    send();
    ASSERT_TRUE(WaitForMessages(1)) << className;
    EXPECT_EQ(destroyedDuringHandler, 0);
    EXPECT_EQ(trace.Count(destructor), 1);
    EXPECT_EQ(_peer->GetUnicastEndPoints(), nullptr);
    EXPECT_EQ(_peer->GetMulticastEndPoints(), nullptr);
  }

  std::unique_ptr<VELApplication> _application;
  VELUnicodeString _group{"/"};
};

TEST_F(TransportSockets, MulticastDefaultsGiveTheWellKnownRecordAndBadAddressesOpenNothing) {
  // 08 02 | port 2678 = 0A 76 | 224.0.1.85 reversed = 55 01 00 E0
  const std::vector<uint8_t> expected = {0x08, 0x02, 0x0A, 0x76, 0x55, 0x01, 0x00, 0xE0};
  VELP2PEndPoint* byNull = Open("VELP2PMultiCastEndPoint", nullptr, 0);
  VELP2PEndPoint* byEmpty = Open("VELP2PMultiCastEndPoint", "", 0);
  ASSERT_TRUE(byNull && byEmpty);
  EXPECT_EQ(RecordBytes(*byNull->GetEndPointInfo()), expected);
  EXPECT_EQ(RecordBytes(*byEmpty->GetEndPointInfo()), expected);
  // Open already: refused, and the record of the open socket stays.
  EXPECT_EQ(byNull->Initialize("224.0.1.86", 3000), VEL_E_FAIL);
  EXPECT_EQ(RecordBytes(*byNull->GetEndPointInfo()), expected);

  VELP2PEndPoint* fresh = VELP2PPeerTestAccess::RegisterEndPoint(_peer, "VELP2PMultiCastEndPoint");
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->Initialize("224.0.1.856", 0), VEL_E_FAIL);
  EXPECT_EQ(fresh->Initialize("224.0.1.85", 70000), VEL_E_FAIL);
  EXPECT_EQ(fresh->Initialize("224.0.1.85", VELTestPort(61)), VEL_S_OK);
}

TEST_F(TransportSockets, MulticastCarriesBlocksUpToTheDatagramBufferAndRefusesLonger) {
  VELP2PEndPoint* endpoint = Open("VELP2PMultiCastEndPoint", "224.0.1.85", VELTestPort(62));
  ASSERT_TRUE(endpoint);
  // 88 + 1 + 935 = 1024 bytes: the largest block a receiver reads whole.
  std::string fits = wiretest::PatternPayload(935);
  ASSERT_EQ(endpoint->SendToGroup(_group, "StatusService", &fits[0], 935), VEL_S_OK);
  ASSERT_TRUE(WaitForMessages(1));
  EXPECT_EQ(Messages()[0].payload, fits);
  EXPECT_EQ(Messages()[0].multicast, 1);

  TraceCapture trace;
  std::string tooLong = wiretest::PatternPayload(936);
  EXPECT_EQ(endpoint->SendToGroup(_group, "StatusService", &tooLong[0], 936), VEL_E_FAIL);
  EXPECT_EQ(
      trace.Count("VELP2PMultiCastEndPoint - SendToGroup : block of <1025> bytes exceeds <1024>, not sent"),
      1);
}

TEST_F(TransportSockets, MulticastDiscardsCutAndOverlongDatagrams) {
  const unsigned short port = VELTestPort(63);
  ASSERT_TRUE(Open("VELP2PMultiCastEndPoint", "224.0.1.85", port));
  VELUDPSocket raw;
  ASSERT_EQ(raw.Initialize(nullptr, port, "224.0.1.85"), 0);
  std::vector<char> cut = wiretest::BuildBlock(wiretest::BlockSpec(), "cut");
  VELP2PStoreU32BE(&cut[0], 200);  // announces 200 bytes but brings 92
  // 1100 bytes: more than the receive buffer holds.
  std::vector<char> overlong =
      wiretest::BuildBlock(wiretest::BlockSpec(), wiretest::PatternPayload(1100 - 89));
  std::vector<char> good = wiretest::BuildBlock(wiretest::BlockSpec(), "whole");
  for (const std::vector<char>* block : {&cut, &overlong, &good})
    ASSERT_EQ(raw.Send(block->data(), static_cast<int>(block->size())), 0);
  // Datagrams arrive in order on the one socket: once the good one is handled, the others were dropped.
  ASSERT_TRUE(WaitForMessages(1));
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].payload, "whole");
}

// The 2000-byte block is longer than the first read; the handler disconnects the peer, releasing the
// endpoint that runs it.
TEST_F(TransportSockets, TcpAnnouncesChosenPortAndOutlivesHandlerThatDisconnectsThePeer) {
  VELP2PEndPoint* endpoint = Open("VELP2PTCPEndPoint", "127.0.0.1", 0);
  ASSERT_TRUE(endpoint);
  VELP2PEndPointInfo own = *endpoint->GetEndPointInfo();
  const std::vector<uint8_t> bytes = RecordBytes(own);
  EXPECT_EQ(bytes[0], 0x08);
  EXPECT_EQ(bytes[1], 0x01);
  EXPECT_NE(VELP2PRecordPort(own), 0);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 4, bytes.end()), (std::vector<uint8_t>{127, 0, 0, 1}));
  EXPECT_EQ(endpoint->Initialize("127.0.0.1", 0), VEL_E_FAIL);
  std::string payload = wiretest::PatternPayload(2000);
  EXPECT_EQ(endpoint->SendToGroup(_group, "StatusService", &payload[0], 1), VEL_E_FAIL);

  ExpectEndPointOutlivesItsHandler("VELP2PTCPEndPoint", [&]() {
    ASSERT_EQ(endpoint->SendToPeer(_group, "StatusService", &payload[0], 2000, &own, nullptr), VEL_S_OK);
  });
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].payload, payload);
  EXPECT_EQ(Messages()[0].unicast, 1);
  EXPECT_EQ(Messages()[0].sender, "local");
  // A TCP message is answered at the endpoint that sent it (port and address; the rest is the caller's).
  const std::vector<uint8_t> reply = RecordBytes(Messages()[0].reply);
  EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 2, reply.end()),
            std::vector<uint8_t>(bytes.begin() + 2, bytes.end()));
}

TEST_F(TransportSockets, MulticastEndPointOutlivesHandlerThatDisconnectsThePeer) {
  ExpectEndPointOutlivesItsHandler("VELP2PMultiCastEndPoint", [this]() {
    VELP2PEndPoint* endpoint = Open("VELP2PMultiCastEndPoint", "224.0.1.85", VELTestPort(64));
    ASSERT_TRUE(endpoint);
    char payload[] = "bye";
    ASSERT_EQ(endpoint->SendToGroup(_group, "StatusService", payload, 3), VEL_S_OK);
  });
}

}  // namespace
