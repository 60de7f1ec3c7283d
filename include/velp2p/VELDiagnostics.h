// Where the library's few diagnostic lines go (printed messages such as a failed connection or a status
// heard), separate from the trace channel. By default they go nowhere, unless tracing is on (VELP2PTrace=1
// or VELTrace::SetEnabled), when they go to standard error with the trace. A node started with a
// diagnostics option sends its own lines to that option instead.
#ifndef VELP2P_VELDIAGNOSTICS_H
#define VELP2P_VELDIAGNOSTICS_H

#include <cstdio>

#include "velp2p/VELExport.h"

// Sends the diagnostics of every node without a diagnostics option to stream from now on; null silences
// them even while tracing. The stream is not closed by the library.
VELP2P_API void VELSetDiagnosticStream(FILE* stream);

#endif
