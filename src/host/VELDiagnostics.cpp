#include "velp2p/VELDiagnostics.h"

#include <cstdarg>

namespace {

bool g_chosen = false;
FILE* g_stream = nullptr;  // meaningful once g_chosen

}  // namespace

void VELSetDiagnosticStream(FILE* stream) {
  g_chosen = true;
  g_stream = stream;
}

void VELDiagnosticPrintf(const char* format, ...) {
  FILE* stream = g_chosen ? g_stream : stdout;
  if (!stream || !format)
    return;
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stream, format, arguments);
  va_end(arguments);
  std::fflush(stream);
}
