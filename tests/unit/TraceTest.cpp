// Trace channels: off by default, switched by the environment, silent and free while off.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "host/VELTraceMacros.h"
#include "velp2p/VELTrace.h"

namespace {

int evaluations = 0;
const char* Counted() {
  ++evaluations;
  return "counted";
}

TEST(TraceChannel, TheEnvironmentSwitchesItAndOffItWritesAndEvaluatesNothing) {
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
  testing::internal::CaptureStderr();
  VELP2PCoreTrace().TraPutLN("quiet");
  VELP2P_TRACEF("%s\n", Counted());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(evaluations, 0);

  VELTrace::SetEnabled(true);
  testing::internal::CaptureStderr();
  VELP2P_TRACEF("%s <%d>\n", Counted(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "counted <-1>\n");
  if (saved)
    setenv("VELP2PTrace", restore.c_str(), 1);
  VELTraceResetForTests();
}

}  // namespace
