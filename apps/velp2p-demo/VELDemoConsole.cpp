#include "VELDemoConsole.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

VELDemoConsole::~VELDemoConsole() {
  Kill();
  CloseInput();
  if (_output >= 0)
    close(_output);
}

bool VELDemoConsole::Start(const std::string& program, const std::vector<std::string>& arguments) {
  if (access(program.c_str(), X_OK) != 0)
    return false;
  int toChild[2];
  int fromChild[2];
  // Close-on-exec keeps every console's pipes out of the consoles started after it; dup2 clears the flag
  // on the child's own ends.
  if (pipe2(toChild, O_CLOEXEC) != 0)
    return false;
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    return false;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(toChild[0], STDIN_FILENO);
    dup2(fromChild[1], STDOUT_FILENO);
    close(toChild[0]);
    close(toChild[1]);
    close(fromChild[0]);
    close(fromChild[1]);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  if (pid < 0) {
    close(toChild[1]);
    close(fromChild[0]);
    return false;
  }
  _pid = pid;
  _input = toChild[1];
  _output = fromChild[0];
  fcntl(_output, F_SETFL, fcntl(_output, F_GETFL) | O_NONBLOCK);
  return true;
}

bool VELDemoConsole::Send(const std::string& line) {
  if (_input < 0)
    return false;
  std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(_input, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

void VELDemoConsole::CloseInput() {
  if (_input >= 0)
    close(_input);
  _input = -1;
}

bool VELDemoConsole::ReadAvailable(double now, std::vector<size_t>& fresh) {
  if (_output < 0)
    return false;
  char buffer[16 * 1024];
  while (true) {
    ssize_t received = read(_output, buffer, sizeof(buffer));
    if (received < 0 && errno == EINTR)
      continue;
    if (received < 0)
      return true;  // nothing more for now
    if (received == 0) {
      close(_output);
      _output = -1;
      return false;
    }
    _partial.append(buffer, static_cast<size_t>(received));
    size_t end;
    while ((end = _partial.find('\n')) != std::string::npos) {
      VELDemoRecord record;
      record.seconds = now;
      record.line = _partial.substr(0, end);
      _partial.erase(0, end + 1);
      if (!record.fields.Parse(record.line))
        record.fields = VELConsoleJsonReader();
      _records.push_back(std::move(record));
      fresh.push_back(_records.size() - 1);
    }
  }
}

int VELDemoConsole::PollExit() {
  if (_pid < 0)
    return _status;
  int status = 0;
  pid_t reaped = waitpid(_pid, &status, WNOHANG);
  if (reaped == _pid) {
    _pid = -1;
    _status = status;
  }
  return _pid < 0 ? _status : -1;
}

void VELDemoConsole::Kill() {
  if (_pid < 0)
    return;
  kill(_pid, SIGKILL);
  int status = 0;
  while (waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
  }
  _pid = -1;
  _status = status;
}
