#include "velp2p/VELDiagnostics.h"

#include <cstdarg>
#include <utility>
#include <vector>

#include "velp2p/VELTrace.h"

namespace {

bool g_chosen = false;                                      // VELSetDiagnosticStream was called
FILE* g_stream = nullptr;                                   // meaningful once g_chosen
std::function<void(const std::string&)>* g_sink = nullptr;  // set by a started peer; owned

FILE* Stream() {
  if (g_chosen)
    return g_stream;
  return VELTrace::IsEnabled() ? stderr : nullptr;
}

}  // namespace

void VELSetDiagnosticStream(FILE* stream) {
  g_chosen = true;
  g_stream = stream;
}

void VELSetDiagnosticSink(std::function<void(const std::string& text)> sink) {
  delete g_sink;
  g_sink = sink ? new std::function<void(const std::string&)>(std::move(sink)) : nullptr;
}

void VELDiagnosticPrintf(const char* format, ...) {
  FILE* stream = g_sink ? nullptr : Stream();
  if ((!g_sink && !stream) || !format)
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
      // The sink may replace itself; the copy keeps the running one alive.
      std::function<void(const std::string&)> sink = *g_sink;
      sink(std::string(text.data(), static_cast<size_t>(size)));
    }
  }
  va_end(arguments);
}
