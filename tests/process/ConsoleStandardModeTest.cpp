// The velp2p console in standard mode, as separate processes: group peers, sub-groups learnt from traffic,
// leaving a group, and a search across the tree.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "ConsoleTestSupport.h"
#include "support/NetSandbox.h"

namespace {

// Two standard-mode consoles that have seen each other in the root group.
class ConsoleGroups : public ::testing::Test {
 protected:
  void SetUp() override {
    VELP2P_REQUIRE_SANDBOX();
    config = std::make_unique<ConsoleConfig>(VELTestPort(20));
    ASSERT_TRUE(root.Start("", config->Path()));
    VELConsoleJsonReader init;
    ASSERT_TRUE(root.Await(IsType("VELP2PInitPeerNotif"), &init)) << root.Transcript();
    rootName = init.Text("peerName");
    ASSERT_TRUE(mover.Start("", config->Path()));
    ASSERT_TRUE(mover.Await(IsType("VELP2PInitPeerNotif"), &init)) << mover.Transcript();
    moverName = init.Text("peerName");
    ASSERT_NE(rootName, moverName);
    ASSERT_TRUE(root.AwaitEvent("VELP2PPeerCreatNotif", moverName)) << root.Transcript();
    ASSERT_TRUE(mover.AwaitEvent("VELP2PPeerCreatNotif", rootName)) << mover.Transcript();
  }

  static ConsoleProcess::Match IsType(const std::string& event) {
    return [event](const VELConsoleJsonReader& record) { return record.Text("event") == event; };
  }
  static ConsoleProcess::Match IsGroupEvent(const std::string& event, const std::string& current,
                                            const std::vector<std::string>& subGroups) {
    return [=](const VELConsoleJsonReader& record) {
      return record.Text("event") == event && record.Text("currentGroup") == current &&
             record.List("subGroups") == subGroups;
    };
  }

  std::unique_ptr<ConsoleConfig> config;
  ConsoleProcess root;
  ConsoleProcess mover;
  std::string rootName;
  std::string moverName;
};

}  // namespace

TEST_F(ConsoleGroups, JoiningASubGroupIsSeenFromTheParent) {
  ASSERT_EQ(mover.Run("CreateAndOrJoinSubGroup Design").Number("result", 1), 0);
  EXPECT_TRUE(mover.Await(IsGroupEvent("VELP2PCurrentGroupModifNotif", "/P2PRoot/Design", {})))
      << mover.Transcript();
  EXPECT_EQ(mover.Run("GetCurrentGroup").Text("currentGroup"), "/P2PRoot/Design");
  EXPECT_TRUE(root.AwaitEvent("VELP2PPeerDestructNotif", moverName)) << root.Transcript();
  EXPECT_TRUE(root.Await(IsGroupEvent("VELP2PSubGroupModifNotif", "/P2PRoot", {"Design"})))
      << root.Transcript();
  VELConsoleJsonReader subGroups = root.Run("GetSubGroups");
  EXPECT_EQ(subGroups.Number("result", 1), 0);
  EXPECT_EQ(subGroups.List("subGroups"), std::vector<std::string>({"Design"}));
}

TEST_F(ConsoleGroups, LeavingReturnsToTheParentAndTheRootCannotBeLeft) {
  ASSERT_EQ(mover.Run("CreateAndOrJoinSubGroup Design").Number("result", 1), 0);
  ASSERT_TRUE(root.AwaitEvent("VELP2PPeerDestructNotif", moverName)) << root.Transcript();
  ASSERT_EQ(mover.Run("LeaveCurrentGroup").Number("result", 1), 0);
  EXPECT_TRUE(mover.Await(IsGroupEvent("VELP2PCurrentGroupModifNotif", "/P2PRoot", {})))
      << mover.Transcript();
  // Back in the root, the two see each other again.
  EXPECT_TRUE(root.AwaitEvent("VELP2PPeerCreatNotif", moverName)) << root.Transcript();
  EXPECT_TRUE(mover.AwaitEvent("VELP2PPeerCreatNotif", rootName)) << mover.Transcript();
  EXPECT_EQ(mover.Run("LeaveCurrentGroup").Number("result", 1), kConsoleFailure);
  EXPECT_EQ(mover.Run("GetCurrentGroup").Text("currentGroup"), "/P2PRoot");
}

TEST_F(ConsoleGroups, SearchFindsThePeerOfAnotherGroup) {
  ASSERT_EQ(mover.Run("CreateAndOrJoinSubGroup Design").Number("result", 1), 0);
  ASSERT_EQ(mover.Run("CreateAndOrJoinSubGroup Team1").Number("result", 1), 0);
  ASSERT_TRUE(mover.Await(IsGroupEvent("VELP2PCurrentGroupModifNotif", "/P2PRoot/Design/Team1", {})));
  ASSERT_EQ(root.Run("CrossGroupPeerSearch").Number("result", 1), 0);
  EXPECT_TRUE(root.AwaitEvent("VELP2PPeerSearchNotif", rootName)) << root.Transcript();
  VELConsoleJsonReader found;
  ASSERT_TRUE(root.AwaitEvent("VELP2PSearchResultNotif", moverName, &found)) << root.Transcript();
  EXPECT_EQ(found.Text("groupName"), "/P2PRoot/Design/Team1");
  ASSERT_TRUE(root.AwaitEvent("VELP2PCrossGroupPeerCreatNotif", moverName, &found)) << root.Transcript();
  EXPECT_EQ(found.Text("groupName"), "/P2PRoot/Design/Team1");
  VELConsoleJsonReader searcher;
  ASSERT_TRUE(mover.AwaitEvent("VELP2PCrossGroupPeerCreatNotif", rootName, &searcher)) << mover.Transcript();
  EXPECT_EQ(searcher.Text("groupName"), "/P2PRoot");
}

TEST_F(ConsoleGroups, QuitSendsTheLeaveMessageToTheGroup) {
  EXPECT_EQ(mover.Run("quit").Number("result", 1), 0);
  int status = mover.Child().WaitExit(kConsoleWaitMs);
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(root.AwaitEvent("VELP2PPeerDestructNotif", moverName)) << root.Transcript();
}

TEST_F(ConsoleGroups, CollaborationCommandsFailInStandardMode) {
  // No awareness, chat or session service: nobody is in the connected-peers directory.
  EXPECT_EQ(root.Run("GetConnectedPeers").List("peers"), std::vector<std::string>());
  EXPECT_EQ(root.Run("SendP2PMessage " + moverName + " 1 h d").Number("result", 1), kConsoleFailure);
  EXPECT_EQ(root.Run("OpenP2PSession " + moverName + " 1").Number("result", 1), kConsoleFailure);
}
