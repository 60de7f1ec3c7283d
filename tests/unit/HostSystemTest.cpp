// Line-oriented file access, login and host names, exit functions.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>

#include "host/VELSystem.h"
#include "host/VELSystemOverrides.h"
#include "support/TempFile.h"
#include "velp2p/VELUnicodeString.h"

namespace {

// The wide form of a path, as VELFOpen takes it.
std::wstring Wide(const std::string& path) {
  VELUnicodeString text(path);
  std::wstring wide(static_cast<size_t>(text.ConvertToWChar(nullptr, 0)) + 1, L'\0');
  text.ConvertToWChar(&wide[0], static_cast<int>(wide.size()));
  return wide;
}

// A wide path is stored as UTF-8 and an unterminated last line is read; closed or foreign descriptors
// fail, and a closed one's number is reused.
TEST(FileLines, ReadUTF8PathsToTheLastLineAndRefuseBadDescriptors) {
  TempFile file("\xC3\xA9t\xC3\xA9\nlast", "-\xC3\xA9t\xC3\xA9.cfg");
  const std::wstring path = Wide(file.Path());
  int descriptor = -1, other = -1, reused = -1;
  ASSERT_GE(VELFOpen(path.c_str(), "r", descriptor), 0);
  ASSERT_GE(VELFOpen(path.c_str(), "r", other), 0);
  char line[16] = {};
  EXPECT_LT(VELFGets(line, 1, descriptor), 0);  // would read nothing forever
  EXPECT_LT(VELFGets(line, sizeof(line), descriptor + 100), 0);
  ASSERT_GE(VELFGets(line, sizeof(line), descriptor), 0);
  EXPECT_STREQ(line, "\xC3\xA9t\xC3\xA9\n");
  ASSERT_GE(VELFGets(line, sizeof(line), descriptor), 0);
  EXPECT_STREQ(line, "last");
  EXPECT_GE(VELFClose(descriptor), 0);
  EXPECT_LT(VELFClose(descriptor), 0);
  for (int bad : {descriptor, 0, -1})
    EXPECT_LT(VELFGets(line, sizeof(line), bad), 0) << bad;
  ASSERT_GE(VELFOpen(path.c_str(), "r", reused), 0);
  EXPECT_EQ(reused, descriptor);
  EXPECT_GE(VELFClose(other), 0);
  EXPECT_GE(VELFClose(reused), 0);

  int missing = 5;
  EXPECT_LT(VELFOpen(L"/nonexistent/velp2p.cfg", "r", missing), 0);
  EXPECT_EQ(missing, -1);
  const wchar_t lone[] = {L'/', static_cast<wchar_t>(0xD800), L'\0'};  // a lone surrogate
  EXPECT_LT(VELFOpen(lone, "r", missing), 0);
}

TEST(SystemNames, TheRealHostNameIsTerminatedAndOverridesAreCutToTheBuffer) {
  VELSystemInfo info;
  std::memset(&info, 'X', sizeof(info));
  ASSERT_GE(VELGetSystemInfo(&info), 0);
  EXPECT_LT(strnlen(info.hostName, sizeof(info.hostName)), sizeof(info.hostName));

  VELSystemSetOverrides("averyveryverylongloginname", "PC1");
  char cut[5];
  ASSERT_GE(VELGetLoginName(cut, sizeof(cut)), 0);
  EXPECT_STREQ(cut, "aver");
  char one[1] = {'X'};
  ASSERT_GE(VELGetLoginName(one, 1), 0);
  EXPECT_EQ(one[0], '\0');
  EXPECT_LT(VELGetLoginName(one, 0), 0);
  ASSERT_GE(VELGetSystemInfo(&info), 0);
  EXPECT_STREQ(info.hostName, "PC1");
  VELSystemSetOverrides(nullptr, nullptr);
}

std::string exitOrder;
int laterCalls = 0;

int RegisteredLater(int argument) {
  ++laterCalls;
  exitOrder += argument == 0 ? "L" : "?";
  return 0;
}

int RegisteredFirst(int argument) {
  exitOrder += argument == 0 ? "F" : "?";
  // Runs last: report what happened through the exit status, the only thing the parent can see.
  _exit(exitOrder == "LF" && laterCalls == 1 ? 3 : 4);
}

TEST(ExitFunctions, RunOnceAtExitInReverseRegistrationOrder) {
  EXPECT_EXIT(
      {
        VELCallOnExit(RegisteredFirst, 3);
        VELCallOnExit(RegisteredLater, 3);
        VELCallOnExit(RegisteredLater, 3);  // a second registration changes nothing
        std::exit(0);
      },
      ::testing::ExitedWithCode(3), "");
}

}  // namespace
