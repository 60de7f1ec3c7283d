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

namespace {

// The calendar time now, in local time or UTC, and its milliseconds.
struct tm Now(bool utc, int& milliseconds) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm fields;
  time_t seconds = now.tv_sec;
  if (utc)
    gmtime_r(&seconds, &fields);
  else
    localtime_r(&seconds, &fields);
  milliseconds = static_cast<int>(now.tv_usec / 1000);
  return fields;
}

}  // namespace

std::string VELConsoleOutput::TimeStamp() {
  int ms = 0;
  struct tm local = Now(false, ms);
  char text[32];
  std::snprintf(text, sizeof(text), "[%02d:%02d:%02d.%03d] ", local.tm_hour, local.tm_min, local.tm_sec, ms);
  return text;
}

std::string VELConsoleOutput::IsoTime() {
  int ms = 0;
  struct tm utc = Now(true, ms);
  char text[96];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
  return text;
}
