// The bounded queue of a C node's events, with the descriptor that tells an application's loop when to
// look at it.
//
// Policy when full: an event that would pass the count or the bytes allowed makes room by dropping the
// oldest events (an event bigger than the whole allowance is still kept, alone). The drops are counted,
// and the next Pop() returns a "dropped" event carrying how many went since the last one (beyond the
// bound: it takes no room), so a reader always learns of a gap exactly where it is.
#ifndef VELP2P_CAPI_VELP2PCEVENTQUEUE_H
#define VELP2P_CAPI_VELP2PCEVENTQUEUE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

#include "capi/VELP2PCEvent.h"
#include "host/VELReadyDescriptor.h"

class VELP2PCEventQueue {
 public:
  VELP2PCEventQueue(size_t maxEvents, size_t maxBytes);
  VELP2PCEventQueue(const VELP2PCEventQueue&) = delete;
  VELP2PCEventQueue& operator=(const VELP2PCEventQueue&) = delete;

  void SetMaxEvents(size_t maxEvents) { _maxEvents = maxEvents < 1 ? 1 : maxEvents; }
  void Push(std::unique_ptr<velp2p_event_t> event);
  // The oldest event, preceded by a "dropped" event after drops; null when empty.
  std::unique_ptr<velp2p_event_t> Pop();
  bool Empty() const { return _events.empty() && _unreported == 0; }
  size_t Size() const { return _events.size() + (_unreported ? 1 : 0); }
  uint64_t DroppedTotal() const { return _droppedTotal; }

  // A descriptor readable while the queue holds something, and while any descriptor Ready() watches is
  // readable. The queue keeps it up to date from the first call on: a reader that never asks for it costs
  // no system call.
  int Descriptor();
  VELReadyDescriptor& Ready() { return _ready; }

 private:
  void Update();

  std::deque<std::unique_ptr<velp2p_event_t>> _events;
  size_t _maxEvents;
  size_t _maxBytes;
  size_t _bytes = 0;         // what the queued events hold
  uint64_t _unreported = 0;  // drops not told yet
  uint64_t _droppedTotal = 0;
  VELReadyDescriptor _ready;
  bool _signalling = false;  // someone asked for the descriptor
};

#endif
