#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/VELSystemOverrides.h"
#include "velp2p/VELSystem.h"
#include "velp2p/VELTime.h"
#include "velp2p/VELUnicodeString.h"

namespace {

// A temporary file with the given content, removed with the object.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& content, const char* suffix = "") {
    char pattern[] = "/tmp/velp2p-host-XXXXXX";
    int fd = mkstemp(pattern);
    EXPECT_GE(fd, 0);
    if (fd >= 0)
      close(fd);
    _path = std::string(pattern) + suffix;
    if (*suffix)
      std::rename(pattern, _path.c_str());
    FILE* file = std::fopen(_path.c_str(), "w");
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
  }
  ~TemporaryFile() { std::remove(_path.c_str()); }
  const std::string& Path() const { return _path; }
  std::vector<wchar_t> WidePath() const {
    VELUnicodeString path(_path);
    std::vector<wchar_t> wide(static_cast<size_t>(path.ConvertToWChar(nullptr, 0)) + 1);
    path.ConvertToWChar(wide.data(), static_cast<int>(wide.size()));
    return wide;
  }

 private:
  std::string _path;
};

// The loop of the endpoint configuration reader: the end-of-file probe is consulted before reading and after
// each line, and a line read when the probe already reports the end is not used.
std::vector<std::string> ReadLikeTheConfigReader(const TemporaryFile& file, bool* emptyAtOnce = nullptr) {
  std::vector<std::string> used;
  int descriptor = -1;
  std::vector<wchar_t> path = file.WidePath();
  EXPECT_GE(VELFOpen(path.data(), "r", descriptor), 0);
  if (VELFEof(descriptor) == 0) {
    if (emptyAtOnce)
      *emptyAtOnce = true;
    VELFClose(descriptor);
    return used;
  }
  char line[256];
  std::memset(line, 0, sizeof(line));
  VELResult result = VELFGets(line, sizeof(line), descriptor);
  while (result >= 0) {
    if (VELFEof(descriptor) == 0)
      break;
    used.push_back(line);
    result = VELFGets(line, sizeof(line), descriptor);
  }
  EXPECT_GE(VELFClose(descriptor), 0);
  return used;
}

TEST(FileLines, TerminatedLinesAreAllUsed) {
  TemporaryFile file("VELP2PMultiCastEndPoint|224.0.1.85|2678\nVELP2PTCPEndPoint| |0\n");
  EXPECT_EQ(
      ReadLikeTheConfigReader(file),
      (std::vector<std::string>{"VELP2PMultiCastEndPoint|224.0.1.85|2678\n", "VELP2PTCPEndPoint| |0\n"}));
}

TEST(FileLines, EndIsReportedRightAfterAnUnterminatedLastLine) {
  TemporaryFile file("first|a|1\nlast|b|2");
  int descriptor = -1;
  std::vector<wchar_t> path = file.WidePath();
  ASSERT_GE(VELFOpen(path.data(), "r", descriptor), 0);
  char line[256];
  EXPECT_NE(VELFEof(descriptor), 0);
  ASSERT_GE(VELFGets(line, sizeof(line), descriptor), 0);
  EXPECT_STREQ(line, "first|a|1\n");
  EXPECT_NE(VELFEof(descriptor), 0);  // a terminated line does not reach the end
  ASSERT_GE(VELFGets(line, sizeof(line), descriptor), 0);
  EXPECT_STREQ(line, "last|b|2");
  EXPECT_EQ(VELFEof(descriptor), 0);  // the read of the unterminated line hit the end
  EXPECT_LT(VELFGets(line, sizeof(line), descriptor), 0);
  EXPECT_GE(VELFClose(descriptor), 0);
  // Hence the configuration reader drops such a line.
  EXPECT_EQ(ReadLikeTheConfigReader(file), (std::vector<std::string>{"first|a|1\n"}));
}

TEST(FileLines, EmptyFileReportsItsEndBeforeAnyRead) {
  TemporaryFile file("");
  bool emptyAtOnce = false;
  EXPECT_TRUE(ReadLikeTheConfigReader(file, &emptyAtOnce).empty());
  EXPECT_TRUE(emptyAtOnce);
}

TEST(FileLines, LookingAheadBeforeTheFirstReadLosesNothing) {
  TemporaryFile file("x\n");
  int descriptor = -1;
  std::vector<wchar_t> path = file.WidePath();
  ASSERT_GE(VELFOpen(path.data(), "r", descriptor), 0);
  EXPECT_NE(VELFEof(descriptor), 0);
  EXPECT_NE(VELFEof(descriptor), 0);
  char line[8];
  ASSERT_GE(VELFGets(line, sizeof(line), descriptor), 0);
  EXPECT_STREQ(line, "x\n");
  EXPECT_GE(VELFClose(descriptor), 0);
}

TEST(FileLines, BadDescriptorsAndArgumentsFail) {
  TemporaryFile file("line\n");
  int descriptor = -1;
  std::vector<wchar_t> path = file.WidePath();
  ASSERT_GE(VELFOpen(path.data(), "r", descriptor), 0);
  char line[16];
  EXPECT_LT(VELFGets(line, 1, descriptor), 0);  // would read nothing forever
  EXPECT_LT(VELFGets(nullptr, 16, descriptor), 0);
  EXPECT_LT(VELFGets(line, sizeof(line), descriptor + 100), 0);
  EXPECT_EQ(VELFEof(descriptor + 100), 0);
  EXPECT_GE(VELFClose(descriptor), 0);
  EXPECT_LT(VELFClose(descriptor), 0);
  EXPECT_LT(VELFGets(line, sizeof(line), descriptor), 0);
  EXPECT_LT(VELFGets(line, sizeof(line), 0), 0);
  EXPECT_LT(VELFGets(line, sizeof(line), -1), 0);

  int missing = 5;
  EXPECT_LT(VELFOpen(L"/nonexistent/velp2p.cfg", "r", missing), 0);
  EXPECT_EQ(missing, -1);
  EXPECT_LT(VELFOpen(nullptr, "r", missing), 0);
}

TEST(FileLines, DescriptorsOfClosedFilesAreReused) {
  TemporaryFile file("a\n");
  std::vector<wchar_t> path = file.WidePath();
  int first = -1, second = -1, third = -1;
  ASSERT_GE(VELFOpen(path.data(), "r", first), 0);
  ASSERT_GE(VELFOpen(path.data(), "r", second), 0);
  EXPECT_GT(first, 0);
  EXPECT_NE(first, second);
  EXPECT_GE(VELFClose(first), 0);
  ASSERT_GE(VELFOpen(path.data(), "r", third), 0);
  EXPECT_EQ(third, first);
  EXPECT_GE(VELFClose(second), 0);
  EXPECT_GE(VELFClose(third), 0);
}

TEST(FileLines, WidePathsAreStoredAsUTF8) {
  TemporaryFile file("\xC3\xA9t\xC3\xA9\n", "-\xC3\xA9t\xC3\xA9.cfg");
  EXPECT_EQ(VELFileAccess(file.Path().c_str(), 4), 0);
  int descriptor = -1;
  std::vector<wchar_t> path = file.WidePath();
  ASSERT_GE(VELFOpen(path.data(), "r", descriptor), 0);
  char line[16];
  ASSERT_GE(VELFGets(line, sizeof(line), descriptor), 0);
  EXPECT_STREQ(line, "\xC3\xA9t\xC3\xA9\n");
  EXPECT_GE(VELFClose(descriptor), 0);
  const wchar_t lone[] = {L'/', static_cast<wchar_t>(0xD800), L'\0'};
  EXPECT_LT(VELFOpen(lone, "r", descriptor), 0);
}

TEST(FileLines, AccessAndEnvironment) {
  TemporaryFile file("x");
  EXPECT_EQ(VELFileAccess(file.Path().c_str(), 4), 0);
  EXPECT_EQ(VELFileAccess(file.Path().c_str(), 0), 0);
  EXPECT_NE(VELFileAccess("/nonexistent/velp2p.cfg", 4), 0);
  EXPECT_NE(VELFileAccess(nullptr, 4), 0);
  setenv("VELP2P_HOST_TEST_VARIABLE", "value", 1);
  EXPECT_STREQ(VELGetEnv("VELP2P_HOST_TEST_VARIABLE"), "value");
  unsetenv("VELP2P_HOST_TEST_VARIABLE");
  EXPECT_EQ(VELGetEnv("VELP2P_HOST_TEST_VARIABLE"), nullptr);
  EXPECT_EQ(VELGetEnv(nullptr), nullptr);
}

class SystemNames : public ::testing::Test {
 protected:
  void TearDown() override { VELSystemSetOverrides(nullptr, nullptr); }
};

TEST_F(SystemNames, OverridesReplaceLoginAndHost) {
  VELSystemSetOverrides("Designer", "PC1");
  char login[50];
  std::memset(login, 'X', sizeof(login));
  ASSERT_GE(VELGetLoginName(login, sizeof(login)), 0);
  EXPECT_STREQ(login, "Designer");
  VELSystemInfo info;
  ASSERT_GE(VELGetSystemInfo(&info), 0);
  EXPECT_STREQ(info.hostName, "PC1");
}

TEST_F(SystemNames, LoginIsCutAndAlwaysTerminated) {
  VELSystemSetOverrides("averyveryverylongloginname", nullptr);
  char login[5];
  std::memset(login, 'X', sizeof(login));
  ASSERT_GE(VELGetLoginName(login, sizeof(login)), 0);
  EXPECT_STREQ(login, "aver");
  char one[1] = {'X'};
  ASSERT_GE(VELGetLoginName(one, 1), 0);
  EXPECT_EQ(one[0], '\0');
  EXPECT_LT(VELGetLoginName(one, 0), 0);
  EXPECT_LT(VELGetLoginName(nullptr, 10), 0);
}

TEST_F(SystemNames, SystemAnswersAreTerminatedAndNotEmpty) {
  char login[50];
  ASSERT_GE(VELGetLoginName(login, sizeof(login)), 0);
  EXPECT_GT(std::strlen(login), 0u);
  EXPECT_LT(std::strlen(login), sizeof(login));
  VELSystemInfo info;
  std::memset(&info, 'X', sizeof(info));
  ASSERT_GE(VELGetSystemInfo(&info), 0);
  EXPECT_GT(std::strlen(info.hostName), 0u);
  EXPECT_LT(std::strlen(info.hostName), sizeof(info.hostName));
  EXPECT_STREQ(info.systemName, "Linux");
  EXPECT_LT(VELGetSystemInfo(nullptr), 0);
  EXPECT_GT(VELTime::Gettime_t(), static_cast<time_t>(1600000000));
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
  EXPECT_LT(VELCallOnExit(nullptr, 3), 0);
}

}  // namespace
