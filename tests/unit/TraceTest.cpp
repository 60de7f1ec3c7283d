// Trace channels: off by default, switched by the environment, written to stderr, a file or a capture.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "host/VELTraceMacros.h"
#include "support/TraceCapture.h"
#include "velp2p/VELTrace.h"

namespace {

// Puts the process-wide trace switches back as they were found: off unless the environment says otherwise.
class TraceChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* value = std::getenv("VELP2PTrace"))
      _saved = value;
    unsetenv("VELP2PTrace");
    VELTraceResetForTests();
  }
  void TearDown() override {
    if (_saved)
      setenv("VELP2PTrace", _saved->c_str(), 1);
    else
      unsetenv("VELP2PTrace");
    VELTraceResetForTests();
  }

  std::optional<std::string> _saved;  // the variable as found
};

TEST_F(TraceChannel, IsOffByDefaultAndOnceEnabledWritesToStderrOrAFile) {
  EXPECT_FALSE(VELTrace::IsEnabled());
  EXPECT_FALSE(VELTrace::IsActive());
  testing::internal::CaptureStderr();
  VELP2PCoreTrace().TraPutLN("VELP2PPeer - Initialize");
  VELP2PCoreTrace().TraPrint("VELP2PReadEndPointConfig - Cannot access <%s>\n", "/nowhere");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  VELTrace::SetEnabled(true);
  testing::internal::CaptureStderr();
  VELP2PCoreTrace().TraPutLN("VELP2PPeer - Initialize");
  VELP2PCoreTrace().TraPrint("%s <%d>\n", "wrong total size", -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "VELP2PPeer - Initialize\nwrong total size <-1>\n");

  const std::string path = "/tmp/velp2p-trace-" + std::to_string(getpid());
  std::remove(path.c_str());
  {
    VELTrace toFile("File", "a channel writing to a file", 0, path.c_str(), 64);
    toFile.TraPutLN("one");
    toFile.TraPrint("two %d\n", 2);
  }
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "one\ntwo 2\n");
  std::remove(path.c_str());
}

TEST_F(TraceChannel, EnvironmentVariableSwitchesItOnUnlessEmptyOrZeroAndIsReadOnce) {
  const std::pair<const char*, bool> cases[] = {{"1", true}, {"0", false}, {"", false}, {"yes", true}};
  for (const auto& c : cases) {
    setenv("VELP2PTrace", c.first, 1);
    VELTraceResetForTests();
    EXPECT_EQ(VELTrace::IsEnabled(), c.second) << '"' << c.first << '"';
  }
  unsetenv("VELP2PTrace");
  EXPECT_TRUE(VELTrace::IsEnabled());
}

int evaluations = 0;
const char* Counted() {
  ++evaluations;
  return "counted";
}

TEST_F(TraceChannel, CaptureReceivesOneCallPerLineCutAtTheBufferSizeAndInactiveMacrosEvaluateNothing) {
  evaluations = 0;
  VELP2P_TRACE(Counted());
  VELP2P_TRACEF("%s\n", Counted());
  EXPECT_EQ(evaluations, 0);
  TraceCapture capture;
  VELP2PCoreTrace().TraPutLN("VELP2PPeer - NewPeerBirth");
  VELP2PCoreTrace().TraPrint(" Cannot parse <%s>\n", "bad|line");
  VELP2PCoreTrace().TraPrint("first\nsecond\n");
  VELP2PCoreTrace().TraPrint("unfinished %d", 7);
  VELP2PCoreTrace().TraPutLN("");
  VELTrace narrow("Narrow", "a channel with a small buffer", 0, "STDERR", 8);
  narrow.TraPrint("%s-%s\n", "0123456789", "abcdef");
  VELP2P_TRACEF("%s %d\n", Counted(), 2);
  EXPECT_EQ(evaluations, 1);
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{"VELP2PPeer - NewPeerBirth", " Cannot parse <bad|line>", "first",
                                      "second", "unfinished 7", "", "0123456", "counted 2"}));
}

}  // namespace
