#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "host/VELTraceMacros.h"
#include "velp2p/VELTrace.h"

namespace {

// Puts the process-wide trace switches back as they were found: off unless the environment says otherwise.
class TraceChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* value = std::getenv("VELP2PTrace");
    _hadVariable = value != nullptr;
    if (value)
      _variable = value;
    unsetenv("VELP2PTrace");
    VELTraceResetForTests();
  }
  void TearDown() override {
    VELTrace::SetCapture(nullptr);
    if (_hadVariable) {
      setenv("VELP2PTrace", _variable.c_str(), 1);
    } else {
      unsetenv("VELP2PTrace");
    }
    VELTraceResetForTests();
  }
  void Capture() {
    VELTrace::SetCapture([this](const std::string& line) { lines.push_back(line); });
  }

  std::vector<std::string> lines;

 private:
  bool _hadVariable = false;
  std::string _variable;
};

TEST_F(TraceChannel, IsOffByDefaultAndWritesNothingToStderr) {
  EXPECT_FALSE(VELTrace::IsEnabled());
  EXPECT_FALSE(VELTrace::IsActive());
  testing::internal::CaptureStderr();
  VELP2PCoreTrace().TraPutLN("VELP2PPeer - Initialize");
  VELP2PCoreTrace().TraPrint("VELP2PReadEndPointConfig - Cannot access <%s>\n", "/nowhere");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(TraceChannel, EnvironmentVariableSwitchesItOnUnlessEmptyOrZero) {
  setenv("VELP2PTrace", "1", 1);
  VELTraceResetForTests();
  EXPECT_TRUE(VELTrace::IsEnabled());
  setenv("VELP2PTrace", "0", 1);
  VELTraceResetForTests();
  EXPECT_FALSE(VELTrace::IsEnabled());
  setenv("VELP2PTrace", "", 1);
  VELTraceResetForTests();
  EXPECT_FALSE(VELTrace::IsEnabled());
  setenv("VELP2PTrace", "yes", 1);
  VELTraceResetForTests();
  EXPECT_TRUE(VELTrace::IsEnabled());
  // Read once: a later change of the environment does not matter until reset.
  unsetenv("VELP2PTrace");
  EXPECT_TRUE(VELTrace::IsEnabled());
}

TEST_F(TraceChannel, EnabledChannelWritesLinesToStderr) {
  VELTrace::SetEnabled(true);
  testing::internal::CaptureStderr();
  VELP2PCoreTrace().TraPutLN("VELP2PPeer - Initialize");
  VELP2PCoreTrace().TraPrint("%s <%d>\n", "wrong total size", -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "VELP2PPeer - Initialize\nwrong total size <-1>\n");
}

TEST_F(TraceChannel, CaptureReceivesOneCallPerLineWithoutLineEnds) {
  Capture();
  VELP2PCoreTrace().TraPutLN("VELP2PPeer - NewPeerBirth");
  VELP2PCoreTrace().TraPrint(" Cannot parse <%s>\n", "bad|line");
  VELP2PCoreTrace().TraPrint("first\nsecond\n");
  VELP2PCoreTrace().TraPrint("unfinished %d", 7);
  VELP2PCoreTrace().TraPutLN("");
  EXPECT_EQ(lines, (std::vector<std::string>{"VELP2PPeer - NewPeerBirth", " Cannot parse <bad|line>", "first",
                                             "second", "unfinished 7", ""}));
}

TEST_F(TraceChannel, FormattedTextIsCutAtTheBufferSize) {
  Capture();
  VELTrace narrow("Narrow", "a channel with a small buffer", 0, "STDERR", 8);
  narrow.TraPrint("%s-%s\n", "0123456789", "abcdef");
  EXPECT_EQ(lines, (std::vector<std::string>{"0123456"}));
  EXPECT_STREQ(VELP2PCoreTrace().GetName(), "VELP2PCoreTrace");
  EXPECT_STREQ(VELP2PCoreTrace().GetDescription(), "Traces for module VELP2PCore");
}

int evaluations = 0;
const char* Counted() {
  ++evaluations;
  return "counted";
}

TEST_F(TraceChannel, MacrosDoNotEvaluateArgumentsWhileInactive) {
  evaluations = 0;
  VELP2P_TRACE(Counted());
  VELP2P_TRACEF("%s\n", Counted());
  EXPECT_EQ(evaluations, 0);
  Capture();
  VELP2P_TRACE(Counted());
  VELP2P_TRACEF("%s %d\n", Counted(), 2);
  EXPECT_EQ(evaluations, 2);
  EXPECT_EQ(lines, (std::vector<std::string>{"counted", "counted 2"}));
}

TEST_F(TraceChannel, FileOutputAppendsToTheNamedFile) {
  char path[] = "/tmp/velp2p-trace-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  VELTrace::SetEnabled(true);
  {
    VELTrace toFile("File", "a channel writing to a file", 0, path, 64);
    toFile.TraPutLN("one");
    toFile.TraPrint("two %d\n", 2);
  }
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "one\ntwo 2\n");
  std::remove(path);
}

}  // namespace
