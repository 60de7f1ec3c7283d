// Trace channels: off by default, switched by the environment, written to stderr, a file or a capture.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/VELTraceMacros.h"
#include "support/TraceCapture.h"
#include "velp2p/VELTrace.h"

namespace {

int evaluations = 0;
const char* Counted() {
  ++evaluations;
  return "counted";
}

TEST(TraceChannel, SwitchesWritesAndCapturesWholeLines) {
  const char* saved = std::getenv("VELP2PTrace");
  const std::string restore = saved ? saved : "";
  const std::pair<const char*, bool> cases[] = {{"1", true}, {"0", false}, {"", false}, {"yes", true}};
  for (const auto& c : cases) {
    setenv("VELP2PTrace", c.first, 1);
    VELTraceResetForTests();
    EXPECT_EQ(VELTrace::IsEnabled(), c.second) << '"' << c.first << '"';
  }
  unsetenv("VELP2PTrace");
  VELTraceResetForTests();
  EXPECT_FALSE(VELTrace::IsEnabled() || VELTrace::IsActive());
  // Inactive, nothing is written and the arguments are not even evaluated.
  testing::internal::CaptureStderr();
  VELP2PCoreTrace().TraPutLN("quiet");
  VELP2P_TRACEF("%s\n", Counted());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(evaluations, 0);

  VELTrace::SetEnabled(true);
  testing::internal::CaptureStderr();
  VELP2PCoreTrace().TraPrint("%s <%d>\n", "a", -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "a <-1>\n");
  const std::string path = "/tmp/velp2p-trace-" + std::to_string(getpid());
  {
    VELTrace toFile("File", "a channel writing to a file", 0, path.c_str(), 64);
    toFile.TraPutLN("one");
    toFile.TraPrint("two %d\n", 2);
  }
  std::stringstream content;
  content << std::ifstream(path).rdbuf();
  EXPECT_EQ(content.str(), "one\ntwo 2\n");
  std::remove(path.c_str());
  {
    TraceCapture capture;
    VELP2PCoreTrace().TraPrint("first\nsecond\n");
    VELP2PCoreTrace().TraPrint("unfinished %d", 7);
    VELP2PCoreTrace().TraPutLN("");
    VELTrace narrow("Narrow", "a channel with a small buffer", 0, "STDERR", 8);
    narrow.TraPrint("%s-%s\n", "0123456789", "abcdef");
    VELP2P_TRACEF("%s %d\n", Counted(), 2);
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::string>{"first", "second", "unfinished 7", "", "0123456", "counted 2"}));
  }
  if (saved)
    setenv("VELP2PTrace", restore.c_str(), 1);
  VELTraceResetForTests();
}

}  // namespace
