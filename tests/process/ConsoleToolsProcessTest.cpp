// velp2p watch and velp2p ping against consoles, each a process of its own.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "ConsoleTestSupport.h"
#include "support/NetSandbox.h"

namespace {

int ExitCode(int status) {
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool StartTool(VELTestChild& tool, std::vector<std::string> arguments) {
  return tool.Start(VELTestProgramPath("velp2p"), arguments, {{"VELP2PTrace", "0"}});
}

TEST(ConsoleTools, WatchSeesAConsoleArriveChangeAndLeaveThenEndsByItself) {
  VELP2P_REQUIRE_SANDBOX();
  ConsoleConfig config(VELTestPort(40));
  VELTestChild watch;
  ASSERT_TRUE(StartTool(watch, {"watch", "--config", config.Path(), "--timeout", "6"}));
  ConsoleProcess bob;
  ASSERT_TRUE(bob.Start("bob", config.Path()));
  EXPECT_TRUE(watch.WaitForPrefix("+ bob_KVZ", kConsoleWaitMs)) << watch.Transcript();
  EXPECT_EQ(bob.Run("/status 3 lunch").Number("result", 1), 0);
  EXPECT_TRUE(watch.WaitForPrefix("= bob_KVZ 3 (away) \"lunch\"", kConsoleWaitMs)) << watch.Transcript();
  EXPECT_EQ(bob.Run("quit").Number("result", 1), 0);
  EXPECT_TRUE(watch.WaitForPrefix("- bob_KVZ", kConsoleWaitMs)) << watch.Transcript();
  EXPECT_EQ(ExitCode(watch.WaitExit(10000)), 0);
}

TEST(ConsoleTools, PingGetsOneAnswerPerRequestFromAConsoleAndFailsWithoutPeer) {
  VELP2P_REQUIRE_SANDBOX();
  ConsoleConfig config(VELTestPort(41));
  ConsoleProcess bob;
  ASSERT_TRUE(bob.Start("bob", config.Path()));
  ASSERT_TRUE(bob.AwaitEvent("VELP2PPeerBirthNotif", "bob_KVZ")) << bob.Transcript();
  VELTestChild ping;
  ASSERT_TRUE(StartTool(ping, {"ping", "bob", "-c", "3", "-i", "0.05", "--json", "--config", config.Path(),
                               "--timeout", "20"}));
  std::string line;
  ASSERT_TRUE(ping.WaitForPrefix("{\"ping\":\"summary\"", 20000, &line)) << ping.Transcript();
  VELConsoleJsonReader summary;
  ASSERT_TRUE(summary.Parse(line));
  EXPECT_EQ(summary.Text("peerName"), "bob_KVZ");
  EXPECT_EQ(summary.Number("sent", 0), 3);
  EXPECT_EQ(summary.Number("received", 0), 3);
  EXPECT_FALSE(summary.Text("medianMs").empty());
  EXPECT_EQ(ExitCode(ping.WaitExit(kConsoleWaitMs)), 0);

  VELTestChild lost;
  ASSERT_TRUE(StartTool(lost, {"ping", "nobody", "--config", config.Path(), "--timeout", "1"}));
  EXPECT_EQ(ExitCode(lost.WaitExit(kConsoleWaitMs)), 1);
}

}  // namespace
