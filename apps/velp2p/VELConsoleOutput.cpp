#include "VELConsoleOutput.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

namespace {

const char kPrompt[] = "velp2p> ";
const char kWipeLine[] = "\r\033[K";  // back to column 0, erase to the end of the line

}  // namespace

void VELConsoleOutput::Write(const std::string& text) {
  // A reader that went away must not stop the peer: failed writes are dropped (SIGPIPE is ignored).
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void VELConsoleOutput::Line(const std::string& text) {
  std::string out;
  if (_interactive && _promptShown)
    out += kWipeLine;
  out += text;
  out += '\n';
  if (_interactive && _promptShown)
    out += kPrompt;
  Write(out);
}

void VELConsoleOutput::Prompt() {
  if (!_interactive)
    return;
  _promptShown = true;
  Write(kPrompt);
}

void VELConsoleOutput::EndPrompt() {
  if (_interactive && _promptShown)
    Write(kWipeLine);
  _promptShown = false;
}

std::string VELConsoleOutput::TimeStamp() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof(text), "[%02d:%02d:%02d.%03d] ", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(now.tv_usec / 1000));
  return text;
}
