// Where the library's few diagnostic lines go (printed messages such as a failed connection), separate
// from the trace channel. They go to standard output unless the application chooses otherwise.
#ifndef VELP2P_VELDIAGNOSTICS_H
#define VELP2P_VELDIAGNOSTICS_H

#include <cstdio>

#include "velp2p/VELExport.h"

// stream null silences the diagnostics; the stream is not closed by the library.
VELP2P_API void VELSetDiagnosticStream(FILE* stream);

// printf-style; flushed after each call.
void VELDiagnosticPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
