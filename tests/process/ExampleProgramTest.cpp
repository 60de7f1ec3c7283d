// The example programs of docs/API.md, run as they are documented: each must start, hear itself, publish a
// status (the loop-integration one from a worker thread through Post) and leave, then exit 0.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "ConsoleTestSupport.h"
#include "support/NetSandbox.h"

namespace {

// Runs the program to its end with its own configuration; its output, and whether it exited 0.
std::string RunToExit(const char* program, int portOffset, bool* succeeded) {
  ConsoleConfig config(VELTestPort(portOffset));
  VELTestChild example;
  *succeeded = false;
  if (!example.Start(VELTestProgramPath(program), {},
                     {{"VELP2PConfig", config.Path()}, {"VELP2PLogin", "docs"}}))
    return "not started";
  std::string output;
  std::string line;
  while (example.ReadLine(line, kConsoleWaitMs * 3))
    output += line + "\n";
  int status = example.WaitExit(kConsoleWaitMs);
  *succeeded = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return output;
}

}  // namespace

TEST(ExampleProgram, RunsToCompletionAndSaysWhatItDid) {
  VELP2P_REQUIRE_SANDBOX();
  bool succeeded = false;
  std::string output = RunToExit("velp2p-example", 30, &succeeded);
  EXPECT_TRUE(succeeded) << output;
  EXPECT_NE(output.find("started as docs_KVZ\n"), std::string::npos) << output;
  EXPECT_NE(output.find("online: docs_KVZ\n"), std::string::npos) << output;
  EXPECT_NE(output.find("status of docs_KVZ: 3 \"writing the documentation\"\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("1 peer(s) online: docs_KVZ\n"), std::string::npos) << output;
  EXPECT_NE(output.find("disconnected: ok\n"), std::string::npos) << output;
}

TEST(ExampleProgram, DrivesThePeerFromItsOwnPollLoop) {
  VELP2P_REQUIRE_SANDBOX();
  bool succeeded = false;
  std::string output = RunToExit("velp2p-pollloop", 31, &succeeded);
  EXPECT_TRUE(succeeded) << output;
  EXPECT_NE(output.find("posted status heard: yes\n"), std::string::npos) << output;
}
