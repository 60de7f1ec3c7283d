// Where the library's few diagnostic lines go (printed messages such as a failed connection or a status
// heard), separate from the trace channel. By default they go nowhere, unless tracing is on (VELP2PTrace=1
// or VELTrace::SetEnabled), when they go to standard error with the trace.
#ifndef VELP2P_VELDIAGNOSTICS_H
#define VELP2P_VELDIAGNOSTICS_H

#include <cstdio>
#include <functional>
#include <string>

#include "velp2p/VELExport.h"

// Sends the diagnostics to stream from now on; null silences them even while tracing. The stream is not
// closed by the library.
VELP2P_API void VELSetDiagnosticStream(FILE* stream);

// Inside the library. printf-style; the text goes to the sink when one is set, else to the chosen stream
// (flushed after each call); nothing is formatted when it would go nowhere.
void VELDiagnosticPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A function that receives every diagnostic text (with its line end) instead of any stream, set by a
// peer started with a diagnostics option; an empty function goes back to the stream.
void VELSetDiagnosticSink(std::function<void(const std::string& text)> sink);

#endif
