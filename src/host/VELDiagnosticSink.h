// Inside the library: where one node's diagnostic lines go.
#ifndef VELP2P_HOST_VELDIAGNOSTICSINK_H
#define VELP2P_HOST_VELDIAGNOSTICSINK_H

#include <functional>
#include <memory>
#include <string>

#include "velp2p/VELDiagnostics.h"

// A function that receives every diagnostic text (with its line end); null for the process's stream. Shared,
// so that what outlives its node (a released sender still delivering) keeps writing where the node did.
using VELDiagnosticSink = std::shared_ptr<const std::function<void(const std::string& text)>>;

// printf-style; the text goes to the sink when there is one, else to the process's stream (flushed after
// each call); nothing is formatted when it would go nowhere.
void VELDiagnosticPrintf(const VELDiagnosticSink& sink, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif
