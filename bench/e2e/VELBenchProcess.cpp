#include "VELBenchProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

double VELBenchNowUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

namespace {

bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

bool VELBenchControl::WaitGo(int timeoutMs) {
  if (_go) {
    _go = false;
    return true;
  }
  if (_stopped || !Readable(_in, timeoutMs))
    return false;
  char c = 0;
  if (read(_in, &c, 1) != 1) {
    _stopped = true;
    return false;
  }
  return true;
}

bool VELBenchControl::Stopped() {
  if (!_stopped && Readable(_in, 0)) {
    char c = 0;
    if (read(_in, &c, 1) == 1)
      _go = true;
    else
      _stopped = true;
  }
  return _stopped;
}

void VELBenchControl::Report(const VELBenchResult& result) {
  std::ostringstream line;
  for (const auto& [name, value] : result)
    line << name << '=' << value << ' ';
  line << '\n';
  std::string text = line.str();
  ssize_t ignored = write(_out, text.data(), text.size());
  (void)ignored;
}

VELBenchChild::VELBenchChild(const std::function<int(VELBenchControl&)>& body) {
  int down[2];
  int up[2];
  if (pipe(down) != 0 || pipe(up) != 0) {
    std::perror("pipe");
    std::exit(2);
  }
  std::fflush(nullptr);
  _pid = fork();
  if (_pid == 0) {
    close(down[1]);
    close(up[0]);
    VELBenchControl control(down[0], up[1]);
    _exit(body(control));
  }
  close(down[0]);
  close(up[1]);
  _control = down[1];
  _report = up[0];
}

VELBenchChild::~VELBenchChild() {
  Stop();
}

void VELBenchChild::Go() {
  if (_control >= 0) {
    ssize_t ignored = write(_control, "g", 1);
    (void)ignored;
  }
}

VELBenchResult VELBenchChild::Result(int timeoutMs) {
  double deadline = VELBenchNowUs() + timeoutMs * 1000.0;
  VELBenchResult result;
  while (_report >= 0 && _pending.find('\n') == std::string::npos) {
    int left = static_cast<int>((deadline - VELBenchNowUs()) / 1000.0);
    if (left <= 0 || !Readable(_report, left))
      return result;
    char buffer[512];
    ssize_t n = read(_report, buffer, sizeof buffer);
    if (n <= 0)
      return result;
    _pending.append(buffer, static_cast<size_t>(n));
  }
  std::istringstream line(_pending.substr(0, _pending.find('\n')));
  _pending.erase(0, _pending.find('\n') + 1);
  std::string pair;
  while (line >> pair) {
    size_t eq = pair.find('=');
    if (eq != std::string::npos)
      result[pair.substr(0, eq)] = std::atof(pair.c_str() + eq + 1);
  }
  return result;
}

void VELBenchChild::Close() {
  if (_control >= 0) {
    close(_control);
    _control = -1;
  }
}

void VELBenchChild::Stop(int timeoutMs) {
  Close();
  if (_pid > 0) {
    double deadline = VELBenchNowUs() + timeoutMs * 1000.0;
    int status = 0;
    while (waitpid(_pid, &status, WNOHANG) == 0) {
      if (VELBenchNowUs() > deadline) {
        kill(_pid, SIGKILL);
        waitpid(_pid, &status, 0);
        break;
      }
      usleep(2000);
    }
    _pid = -1;
  }
  if (_report >= 0) {
    close(_report);
    _report = -1;
  }
}
