// A refused peer operation keeps its result code and tells the calling thread why.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "unit/ServiceTestSupport.h"
#include "velp2p/VELLastError.h"

using namespace svctest;

namespace {

class FailureReason : public CollaborationTest {
 protected:
  struct Case {
    const char* operation;
    std::function<VELResult()> call;
    int reason;
  };
  void ExpectReasons(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      VELP2PClearLastError();
      EXPECT_EQ(c.call(), VEL_E_FAIL) << c.operation;
      EXPECT_EQ(VELP2PGetLastErrorCode(), c.reason) << c.operation << ": " << VELP2PGetLastErrorText();
      EXPECT_EQ(std::string(VELP2PGetLastErrorText()).rfind(VELP2PErrorCodeText(c.reason), 0), 0u)
          << c.operation;
    }
  }
};

TEST_F(FailureReason, EachRefusalOfThePeerRecordsItsReason) {
  VELUnicodeString bob("bob"), carol("carol"), slash("a/b");
  char data[] = "x";
  auto send = [&](VELUnicodeString& to, int length) {
    return _peer->SendP2PMessage(to, 1, "h", data, length);
  };
  ExpectReasons({
      {"Refresh", [&] { return _peer->Refresh(); }, VELP2P_ERROR_NOT_CONNECTED},
      {"Disconnect", [&] { return _peer->Disconnect(); }, VELP2P_ERROR_NOT_CONNECTED},
      {"LeaveCurrentGroup", [&] { return _peer->LeaveCurrentGroup(); }, VELP2P_ERROR_NOT_CONNECTED},
      {"CrossGroupPeerSearch", [&] { return _peer->CrossGroupPeerSearch(); }, VELP2P_ERROR_NOT_CONNECTED},
      {"SendP2PMessage", [&] { return send(bob, 1); }, VELP2P_ERROR_NOT_CONNECTED},
      {"SetHTTPConnexion", [&] { return _peer->SetHTTPConnexion(nullptr, "b", 1, nullptr); },
       VELP2P_ERROR_BAD_ARGUMENT},
  });
  Start();
  Connect("bob");
  ExpectReasons({
      {"InitP2PForRTC", [&] { return _peer->InitP2PForRTC(); }, VELP2P_ERROR_ALREADY_STARTED},
      {"SendP2PMessage", [&] { return send(carol, 1); }, VELP2P_ERROR_UNKNOWN_PEER},
      {"SendP2PMessage", [&] { return send(bob, 0); }, VELP2P_ERROR_EMPTY_DATA},
      {"OpenP2PSession", [&] { return _peer->OpenP2PSession(carol, 1); }, VELP2P_ERROR_UNKNOWN_PEER},
      {"ChangeP2PStatus", [&] { return _peer->ChangeP2PStatus(1, std::string(70000, 'd')); },
       VELP2P_ERROR_DESCRIPTION_TOO_LONG},
      {"CreateAndOrJoinSubGroup", [&] { return _peer->CreateAndOrJoinSubGroup(&slash); },
       VELP2P_ERROR_BAD_GROUP_NAME},
      {"LeaveCurrentGroup", [&] { return _peer->LeaveCurrentGroup(); }, VELP2P_ERROR_AT_ROOT},
      {"GetStatusAndDesc",
       [&] {
         VELP2PUserStatus status;
         VELUnicodeString description;
         return _peer->GetStatusAndDesc(carol, status, description);
       },
       VELP2P_ERROR_NO_STATUS},
  });
  // A success leaves the reason of the last failure in place, like errno.
  EXPECT_EQ(_peer->Refresh(), VEL_S_OK);
  EXPECT_EQ(VELP2PGetLastErrorCode(), VELP2P_ERROR_NO_STATUS);
  ASSERT_EQ(_peer->Disconnect(), VEL_S_OK);
  ExpectReasons({{"Refresh after Disconnect", [&] { return _peer->Refresh(); }, VELP2P_ERROR_NOT_CONNECTED}});
}

TEST_F(FailureReason, UnusableConfigurationFailsTheStartUpNamingFileAndLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"VELP2PMultiCastEndPoint|224.0.1.85|0\nNoSuchEndPoint|127.0.0.1|0\n",
       ":2: no endpoint class NoSuchEndPoint"},
      {"# no endpoint\n", ": no endpoint line"},
      {"VELP2PTCPEndPoint|127.0.0.1|0\nVELP2PTCPEndPoint|127.0.0.1|0x\n",
       ":2: the port 0x is not a number from 0 to 65535"},
  };
  for (const auto& c : cases) {
    UseConfig(c.first);
    VELP2PClearLastError();
    EXPECT_EQ(_peer->InitP2PForRTC(), VEL_E_FAIL) << c.first;
    EXPECT_EQ(VELP2PGetLastErrorCode(), VELP2P_ERROR_BAD_CONFIGURATION);
    EXPECT_EQ(VELP2PGetLastErrorText(), "bad configuration: " + _config->Path() + c.second);
  }
}

}  // namespace
