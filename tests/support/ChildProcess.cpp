#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void CloseIfOpen(int& descriptor) {
  if (descriptor >= 0)
    close(descriptor);
  descriptor = -1;
}

}  // namespace

VELTestChild::VELTestChild() : _pid(-1), _input(-1), _output(-1), _outputEnded(false) {}

VELTestChild::~VELTestChild() {
  Kill();
  CloseIfOpen(_input);
  CloseIfOpen(_output);
}

bool VELTestChild::Start(const std::string& path, const std::vector<std::string>& arguments,
                         const std::vector<std::pair<std::string, std::string>>& env) {
  int toChild[2], fromChild[2];
  if (_pid > 0 || pipe2(toChild, O_CLOEXEC) != 0)
    return false;
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    return false;
  }
  // env(1) sets the extra variables over the test's own; it execs path (an absolute one) or fails with 127.
  std::vector<std::string> texts = {"env"};
  for (const auto& variable : env)
    texts.push_back(variable.first + "=" + variable.second);
  texts.push_back(path);
  texts.insert(texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : texts)
    argv.push_back(&text[0]);
  argv.push_back(nullptr);
  // dup2 onto 0 and 1 clears close-on-exec there; every other end of the pipes closes at exec.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  pid_t pid = -1;
  int spawned = access(path.c_str(), X_OK) != 0
                    ? ENOENT
                    : posix_spawnp(&pid, "env", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  if (spawned != 0) {
    close(toChild[1]);
    close(fromChild[0]);
    return false;
  }
  // A child that died must not kill the test with SIGPIPE when it is written to.
  signal(SIGPIPE, SIG_IGN);
  _pid = pid;
  _input = toChild[1];
  _output = fromChild[0];
  _outputEnded = false;
  _buffer.clear();
  return true;
}

bool VELTestChild::WriteLine(const std::string& line) {
  std::string text = line + "\n";
  for (size_t written = 0; written < text.size();) {
    ssize_t count = _input < 0 ? -1 : write(_input, text.data() + written, text.size() - written);
    if (count < 0 && errno != EINTR)
      return false;
    written += count > 0 ? static_cast<size_t>(count) : 0;
  }
  return true;
}

void VELTestChild::CloseInput() {
  CloseIfOpen(_input);
}

bool VELTestChild::ReadLine(std::string& line, int timeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t end = _buffer.find('\n');
    if (end != std::string::npos) {
      line = _buffer.substr(0, end);
      _buffer.erase(0, end + 1);
      _lines.push_back(line);
      return true;
    }
    if (_outputEnded || _output < 0)
      return false;
    pollfd entry{_output, POLLIN, 0};
    int ready = poll(&entry, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return false;
    char chunk[4096];
    ssize_t count = read(_output, chunk, sizeof(chunk));
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0) {
      _outputEnded = true;
      continue;
    }
    _buffer.append(chunk, static_cast<size_t>(count));
  }
}

bool VELTestChild::WaitForLine(const std::function<bool(const std::string&)>& match, int timeoutMs,
                               std::string* found) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string line;
  while (ReadLine(line, RemainingMs(deadline))) {
    if (match(line)) {
      if (found)
        *found = line;
      return true;
    }
  }
  return false;
}

bool VELTestChild::WaitForPrefix(const std::string& prefix, int timeoutMs, std::string* found) {
  return WaitForLine(
      [&prefix](const std::string& line) { return line.compare(0, prefix.size(), prefix) == 0; }, timeoutMs,
      found);
}

int VELTestChild::WaitExit(int timeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (_pid > 0) {
    int status = 0;
    pid_t reaped = waitpid(_pid, &status, WNOHANG);
    if (reaped == _pid || (reaped < 0 && errno != EINTR)) {
      _pid = -1;
      return reaped > 0 ? status : -1;
    }
    int left = RemainingMs(deadline);
    if (left == 0)
      return -1;
    poll(nullptr, 0, left < 10 ? left : 10);
  }
  return -1;
}

void VELTestChild::Kill() {
  if (_pid <= 0)
    return;
  kill(_pid, SIGKILL);
  int status = 0;
  while (waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
  }
  _pid = -1;
}

std::string VELTestChild::Transcript() const {
  std::string text;
  for (const std::string& line : _lines)
    text += "  | " + line + "\n";
  return text;
}

std::string VELTestProgramPath(const std::string& name) {
  const char* fromEnvironment = std::getenv("VELP2P_BIN_DIR");
  if (fromEnvironment && *fromEnvironment)
    return std::string(fromEnvironment) + "/" + name;
#ifdef VELP2P_BIN_DIR
  return std::string(VELP2P_BIN_DIR) + "/" + name;
#else
  return name;
#endif
}
