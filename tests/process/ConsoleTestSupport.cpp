#include "ConsoleTestSupport.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

std::string WriteTemporary(const std::string& contents) {
  char path[] = "/tmp/velp2p-console-XXXXXX";
  int descriptor = mkstemp(path);
  if (descriptor < 0)
    return "";
  ssize_t written = write(descriptor, contents.data(), contents.size());
  close(descriptor);
  return written == static_cast<ssize_t>(contents.size()) ? std::string(path) : std::string();
}

}  // namespace

ConsoleConfig::ConsoleConfig(unsigned short multicastPort)
    : _path(WriteTemporary("VELP2PTCPEndPoint|127.0.0.1|0\nVELP2PMultiCastEndPoint|224.0.1.85|" +
                           std::to_string(multicastPort) + "\n")) {}

ConsoleConfig::ConsoleConfig(const std::string& contents) : _path(WriteTemporary(contents)) {}

ConsoleConfig::~ConsoleConfig() {
  if (!_path.empty())
    unlink(_path.c_str());
}

bool ConsoleProcess::Start(const std::string& login, const std::string& configPath,
                           std::vector<std::string> extra) {
  std::vector<std::string> arguments = {"--json", "--config", configPath};
  if (login.empty()) {
    arguments.push_back("--standard");
  } else {
    arguments.push_back("--login");
    arguments.push_back(login);
  }
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return StartRaw(arguments);
}

bool ConsoleProcess::StartRaw(const std::vector<std::string>& arguments) {
  // The trace would only slow the console down; its settings come from its flags.
  return _child.Start(VELTestProgramPath("velp2p"), arguments, {{"VELP2PTrace", "0"}});
}

bool ConsoleProcess::TakeRead(const Match& match, VELConsoleJsonReader* out) {
  const std::vector<std::string>& lines = _child.Lines();
  _taken.resize(lines.size(), false);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (_taken[i])
      continue;
    VELConsoleJsonReader record;
    if (!record.Parse(lines[i]) || !match(record))
      continue;
    _taken[i] = true;
    if (out)
      *out = record;
    return true;
  }
  return false;
}

bool ConsoleProcess::Await(const Match& match, VELConsoleJsonReader* out, int timeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!TakeRead(match, out)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    std::string line;
    if (left <= 0 || !_child.ReadLine(line, static_cast<int>(left)))
      return false;
  }
  return true;
}

bool ConsoleProcess::AwaitEvent(const std::string& event, const std::string& peerName,
                                VELConsoleJsonReader* out) {
  return Await(IsEvent(event, peerName), out);
}

VELConsoleJsonReader ConsoleProcess::Run(const std::string& line) {
  VELConsoleJsonReader reply;
  if (!_child.WriteLine(line))
    return reply;
  if (!Await([](const VELConsoleJsonReader& record) { return record.Has("command"); }, &reply)) {
    return VELConsoleJsonReader();
  }
  return reply;
}

std::vector<VELConsoleJsonReader> ConsoleProcess::Records() const {
  std::vector<VELConsoleJsonReader> records;
  for (const std::string& line : _child.Lines()) {
    VELConsoleJsonReader record;
    if (!record.Parse(line))
      record = VELConsoleJsonReader();
    records.push_back(record);
  }
  return records;
}

ConsoleProcess::Match IsEvent(const std::string& event, const std::string& peerName) {
  return [event, peerName](const VELConsoleJsonReader& record) {
    return record.Text("event") == event && record.Text("peerName") == peerName;
  };
}

ConsoleProcess::Match IsReply(const std::string& command) {
  return [command](const VELConsoleJsonReader& record) { return record.Text("command") == command; };
}
