#include <atomic>
#include <cstdarg>
#include <vector>

#include "host/VELDiagnosticSink.h"
#include "velp2p/VELTrace.h"

namespace {

// The process's choice, made once by the application before its loops run, read by every thread.
std::atomic<bool> g_chosen{false};     // VELSetDiagnosticStream was called
std::atomic<FILE*> g_stream{nullptr};  // meaningful once g_chosen

FILE* Stream() {
  if (g_chosen.load())
    return g_stream.load();
  return VELTrace::IsEnabled() ? stderr : nullptr;
}

}  // namespace

void VELSetDiagnosticStream(FILE* stream) {
  g_stream.store(stream);
  g_chosen.store(true);
}

void VELDiagnosticPrintf(const VELDiagnosticSink& sink, const char* format, ...) {
  FILE* stream = sink ? nullptr : Stream();
  if ((!sink && !stream) || !format)
    return;
  va_list arguments;
  va_start(arguments, format);
  if (stream) {
    std::vfprintf(stream, format, arguments);
    std::fflush(stream);
  } else {
    va_list copy;
    va_copy(copy, arguments);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size >= 0) {
      std::vector<char> text(static_cast<size_t>(size) + 1);
      std::vsnprintf(text.data(), text.size(), format, arguments);
      // Held by the call: the sink may be replaced while it runs.
      VELDiagnosticSink running = sink;
      (*running)(std::string(text.data(), static_cast<size_t>(size)));
    }
  }
  va_end(arguments);
}
