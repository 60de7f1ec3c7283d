// One event of the C interface: what a notification said, copied so that it outlives the dispatch, or
// what the node itself has to say (events dropped, a diagnostic line).
#ifndef VELP2P_CAPI_VELP2PCEVENT_H
#define VELP2P_CAPI_VELP2PCEVENT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "velp2p/velp2p.h"

class VELNotification;

class VELP2PCEvent {
 public:
  // The event a notification makes, or null for the notifications the C interface does not report.
  static std::unique_ptr<velp2p_event_t> FromNotification(VELNotification* notification);
  static std::unique_ptr<velp2p_event_t> Dropped(uint64_t count);
  static std::unique_ptr<velp2p_event_t> Diagnostic(const std::string& line);

  // What the event holds, for the queue's bound on memory.
  size_t Bytes() const {
    return sizeof(VELP2PCEvent) + peer.size() + text.size() + header.size() + data.size();
  }

  const char* kind = "";  // static text
  std::string peer;
  std::string text;
  std::string header;
  int32_t status = 0;
  int type = 0;
  std::vector<char> data;
};

// The C interface's name for it.
struct velp2p_event_t : VELP2PCEvent {};

#endif
