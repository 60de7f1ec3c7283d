// The example program of docs/API.md, run as it is documented: it must start, hear itself, publish a
// status, list the peers and leave, then exit 0.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "ConsoleTestSupport.h"
#include "support/NetSandbox.h"

TEST(ExampleProgram, RunsToCompletionAndSaysWhatItDid) {
  VELP2P_REQUIRE_SANDBOX();
  ConsoleConfig config(VELTestPort(30));
  VELTestChild example;
  ASSERT_TRUE(example.Start(VELTestProgramPath("velp2p-example"), {},
                            {{"VELP2PConfig", config.Path()}, {"VELP2PLogin", "docs"}}));
  std::string output;
  std::string line;
  while (example.ReadLine(line, kConsoleWaitMs * 3))
    output += line + "\n";
  int status = example.WaitExit(kConsoleWaitMs);
  ASSERT_TRUE(status >= 0 && WIFEXITED(status)) << output;
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
  EXPECT_NE(output.find("started as docs_KVZ\n"), std::string::npos) << output;
  EXPECT_NE(output.find("online: docs_KVZ\n"), std::string::npos) << output;
  EXPECT_NE(output.find("status of docs_KVZ: 3 \"writing the documentation\"\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("1 peer(s) online: docs_KVZ\n"), std::string::npos) << output;
  EXPECT_NE(output.find("disconnected: ok\n"), std::string::npos) << output;
}
