#include "capi/VELP2PCEventQueue.h"

VELP2PCEventQueue::VELP2PCEventQueue(size_t maxEvents, size_t maxBytes)
    : _maxEvents(maxEvents < 1 ? 1 : maxEvents), _maxBytes(maxBytes) {}

void VELP2PCEventQueue::Push(std::unique_ptr<velp2p_event_t> event) {
  if (!event)
    return;
  const size_t bytes = event->Bytes();
  while (!_events.empty() && (_events.size() + 1 > _maxEvents || _bytes + bytes > _maxBytes)) {
    _bytes -= _events.front()->Bytes();
    _events.pop_front();
    ++_unreported;
    ++_droppedTotal;
  }
  _bytes += bytes;
  _events.push_back(std::move(event));
  Update();
}

std::unique_ptr<velp2p_event_t> VELP2PCEventQueue::Pop() {
  std::unique_ptr<velp2p_event_t> event;
  if (_unreported) {
    event = VELP2PCEvent::Dropped(_unreported);
    _unreported = 0;
  } else if (!_events.empty()) {
    event = std::move(_events.front());
    _events.pop_front();
    _bytes -= event->Bytes();
  }
  Update();
  return event;
}

int VELP2PCEventQueue::Descriptor() {
  if (!_signalling) {
    _signalling = true;
    Update();
  }
  return _ready.Descriptor();
}

void VELP2PCEventQueue::Update() {
  if (!_signalling)
    return;
  if (Empty())
    _ready.Lower();
  else
    _ready.Raise();
}
