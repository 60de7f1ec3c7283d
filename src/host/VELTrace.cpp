#include "velp2p/VELTrace.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "host/VELTraceMacros.h"

namespace {

// Process-wide switches. Allocated once and never destroyed, so that traces written by exit handlers, after
// static destructors may have run, still find them.
struct TraceState {
  std::atomic<int> enabled{-1};  // -1 until VELP2PTrace has been read, then 0 or 1
  std::atomic<bool> capturing{false};
  std::mutex captureMutex;  // guards capture
  std::function<void(const std::string& line)> capture;
};

TraceState& State() {
  static TraceState* state = new TraceState();
  return *state;
}

// Hands text to the capture function line by line, without the line ends. A text that does not end with a
// line end still delivers its last, unfinished line.
void DeliverLines(const std::function<void(const std::string& line)>& capture, const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      capture(text.substr(start));
      return;
    }
    capture(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

VELTrace::VELTrace(const char* name, const char* description, int mode, const char* output, int bufferSize)
    : _name(name ? name : ""),
      _description(description ? description : ""),
      _mode(mode),
      _output(output ? output : "STDERR"),
      _bufferSize(std::max(bufferSize, 2)),
      _file(nullptr),
      _openTried(false) {}

VELTrace::~VELTrace() {
  if (_file)
    std::fclose(_file);
}

void VELTrace::TraPutLN(const char* text) {
  if (!IsActive())
    return;
  std::string line = text ? text : "";
  line += '\n';
  Write(line);
}

void VELTrace::TraPrint(const char* format, ...) {
  if (!IsActive() || !format)
    return;
  std::vector<char> buffer(static_cast<size_t>(_bufferSize));
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(buffer.data(), buffer.size(), format, arguments);
  va_end(arguments);
  if (length < 0)
    return;
  std::string text(buffer.data(), std::min(static_cast<size_t>(length), buffer.size() - 1));
  // A text cut at the bound loses its line end; restore one so the next trace starts on its own line.
  if (static_cast<size_t>(length) >= buffer.size())
    text += '\n';
  Write(text);
}

void VELTrace::Write(const std::string& text) {
  TraceState& state = State();
  if (IsEnabled()) {
    FILE* stream = Stream();
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
  }
  if (state.capturing.load(std::memory_order_relaxed)) {
    std::function<void(const std::string& line)> capture;
    {
      std::lock_guard<std::mutex> lock(state.captureMutex);
      capture = state.capture;
    }
    // Called outside the lock: a capture function may itself trace.
    if (capture)
      DeliverLines(capture, text);
  }
}

FILE* VELTrace::Stream() {
  if (_output.empty() || _output == "STDERR")
    return stderr;
  if (_output == "STDOUT")
    return stdout;
  if (!_openTried) {
    _openTried = true;
    _file = std::fopen(_output.c_str(), "a");
  }
  return _file ? _file : stderr;
}

void VELTrace::SetEnabled(bool enabled) {
  State().enabled.store(enabled ? 1 : 0);
}

bool VELTrace::IsEnabled() {
  TraceState& state = State();
  int enabled = state.enabled.load(std::memory_order_relaxed);
  if (enabled < 0) {
    const char* value = std::getenv("VELP2PTrace");
    enabled = (value && value[0] != '\0' && std::strcmp(value, "0") != 0) ? 1 : 0;
    int unread = -1;
    // A SetEnabled racing with the first read wins.
    if (!state.enabled.compare_exchange_strong(unread, enabled))
      enabled = unread;
  }
  return enabled == 1;
}

void VELTrace::SetCapture(std::function<void(const std::string& line)> capture) {
  TraceState& state = State();
  std::lock_guard<std::mutex> lock(state.captureMutex);
  state.capture = std::move(capture);
  state.capturing.store(static_cast<bool>(state.capture));
}

bool VELTrace::IsActive() {
  return State().capturing.load(std::memory_order_relaxed) || IsEnabled();
}

VELTrace& VELP2PCoreTrace() {
  static VELTrace* channel =
      new VELTrace("VELP2PCoreTrace", "Traces for module VELP2PCore", 0, "STDERR", 1024);
  return *channel;
}

void VELTraceResetForTests() {
  State().enabled.store(-1);
}
