// The streams of VELTCPSender: one connection per destination that takes many blocks (VELTCPSender.h).
#include <algorithm>
#include <cerrno>

#include "host/VELSocketCalls.h"
#include "transport/VELTCPSender.h"
#include "velp2p/VELApplication.h"

VELTCPSender::Link* VELTCPSender::LinkOf(const Destination& destination) {
  if (destination.link == 0) {
    return nullptr;
  }
  auto found = _links.find(destination.link);
  return found == _links.end() ? nullptr : found->second.get();
}

VELTCPSender::Link& VELTCPSender::OpenLink(Destination& destination, Lane lane) {
  auto created = std::make_unique<Link>();
  Link& link = *created;
  link.id = _nextConnection++;
  link.key = destination.key;
  link.lane = lane;
  link.retryMs = _limits.firstRetryMs;
  link.connectDeadline = Clock::now() + std::chrono::milliseconds(_limits.connectDeadlineMs);
  ++StateOf(lane).open;
  destination.link = link.id;
  _links[link.id] = std::move(created);
  ConnectLink(link);
  return link;
}

void VELTCPSender::ConnectLink(Link& link) {
  link.open = false;
  link.writing = true;
  int error = VELTCPConnect(static_cast<uint32_t>(link.key >> 16),
                            static_cast<unsigned short>(link.key & 0xFFFF), true, &link.descriptor);
  if (error == 0) {
    uint64_t id = link.id;
    link.watched =
        _application->AddWatch(link.descriptor, true, true,
                               [this, id](int, bool r, bool w, bool e) { OnLinkReady(id, r, w, e); }) == 0;
    error = link.watched ? 0 : EBUSY;
  }
  if (error == 0) {
    // Where the handshake is over by now (a peer on this host), the stream starts at once, and the blocks of
    // this turn leave with its end, as a connection of their own would: ahead of what the loop sends by other
    // ways later, such as a multicast status change that must not overtake an answer.
    const int written = link.bytes.Write(link.descriptor);
    if (link.bytes.Started()) {
      link.open = true;
      link.writing = written == EAGAIN;
      link.lastProgress = Clock::now();
      _application->ModifyWatch(link.descriptor, true, link.writing);
      ArmLinkTimer(link, _limits.deliveryDeadlineMs);
      return;
    }
    if (written != 0 && written != EAGAIN && written != ENOTCONN) {
      _application->RemoveWatch(link.descriptor);
      link.watched = false;
      error = written;
    }
  }
  if (error != 0) {
    VELTCPClose(link.descriptor);
    link.descriptor = -1;
    link.startError = error;  // reported from the loop, so that Enqueue never calls back
  }
  ArmLinkTimer(link,
               error != 0 && IsFinal(error) ? 0 : std::min(link.retryMs, MsUntil(link.connectDeadline)));
}

void VELTCPSender::ArmLinkTimer(Link& link, int delayMs) {
  _application->CancelTimer(link.timerId);
  uint64_t id = link.id;
  link.timerId = _application->AddTimer(delayMs, [this, id]() { OnLinkTimer(id); });
}

void VELTCPSender::OnLinkTimer(uint64_t id) {
  auto found = _links.find(id);
  if (found == _links.end()) {
    return;
  }
  Link& link = *found->second;
  link.timerId = 0;
  const Key key = link.key;
  const Clock::time_point now = Clock::now();
  const int error = link.startError;
  link.startError = 0;
  Outcomes outcomes;
  if (link.open && error != 0) {
    EndLink(link, false, Failure::kReset, true, outcomes);  // a write made outside the loop failed
  } else if (link.open) {
    const auto waited = now - link.lastProgress;
    const bool idle = link.bytes.Blocks().empty();
    const auto limit = std::chrono::milliseconds(idle ? _limits.streamIdleMs : _limits.deliveryDeadlineMs);
    if (waited < limit) {
      ArmLinkTimer(link,
                   static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(limit - waited).count()));
      return;
    }
    // Idle, it is closed in order and this side keeps the TIME_WAIT; otherwise the receiver stopped taking.
    EndLink(link, false, Failure::kTimedOut, !idle, outcomes);
  } else if (error == ECONNREFUSED || IsFinal(error)) {
    EndLink(link, false, error == ECONNREFUSED ? Failure::kRefused : Failure::kUnreachable, false, outcomes);
  } else if (now >= link.connectDeadline) {
    MarkDead(key);
    EndLink(link, false, Failure::kTimedOut, false, outcomes);
    Destination& destination = *_destinations.at(key);
    for (const Block& block : destination.queue) {
      Account(destination, block, outcomes.failed);
    }
    destination.queue.clear();
  } else {
    // Unanswered (or out of descriptors): a fresh handshake rather than the kernel's slow retransmission.
    if (link.watched) {
      _application->RemoveWatch(link.descriptor);
    }
    link.watched = false;
    VELTCPClose(link.descriptor);
    link.descriptor = -1;
    link.retryMs *= 2;
    ConnectLink(link);
    return;
  }
  Settled(key, outcomes);
}

void VELTCPSender::OnLinkReady(uint64_t id, bool readable, bool writable, bool error) {
  auto found = _links.find(id);
  if (found == _links.end()) {
    return;
  }
  Link& link = *found->second;
  if (!link.open) {
    const int pending = VELTCPConnectResult(link.descriptor);
    if (pending != 0) {
      link.startError = pending;
      ArmLinkTimer(link, pending == ECONNREFUSED ? 0 : std::min(link.retryMs, MsUntil(link.connectDeadline)));
      _application->ModifyWatch(link.descriptor, false, false);
      return;
    }
    if (!writable) {
      return;
    }
    link.open = true;
    link.lastProgress = Clock::now();
    ArmLinkTimer(link, _limits.deliveryDeadlineMs);
    Flush(link, true);
    return;
  }
  if (writable) {
    Flush(link, true);
    found = _links.find(id);
    if (found == _links.end()) {
      return;
    }
  }
  if (readable || error) {
    ReadLink(*found->second);
  }
}

void VELTCPSender::ScheduleFlush(Link& link) {
  if (link.bytes.Blocks().size() == 1) {
    link.lastProgress = Clock::now();  // the delivery deadline runs from here
  }
  if (!link.open || link.flushQueued) {
    return;
  }
  // Inside the loop's callbacks, the blocks of a turn go together when it ends. Outside them, a block goes at
  // once, the fastest answer, unless the socket is full; the ones that follow before the loop turns again go
  // together on that turn.
  const bool turning = _application->IsTurning();
  if (!turning && !link.writing) {
    Flush(link, false);
  }
  link.flushQueued = true;
  _toFlush.push_back(link.id);
  if (_flushScheduled) {
    return;
  }
  std::weak_ptr<char> life = _life;
  _flushScheduled = turning && _application->DeferToTurnEnd([this, life]() {
    if (!life.expired()) {
      FlushQueued();
    }
  });
  if (!_flushScheduled) {
    _flushScheduled = true;
    _flushTimer = _application->AddTimer(0, [this]() {
      _flushTimer = 0;
      FlushQueued();
    });
  }
}

void VELTCPSender::FlushQueued() {
  _flushScheduled = false;
  std::vector<uint64_t> ids;
  ids.swap(_toFlush);
  for (uint64_t id : ids) {
    auto found = _links.find(id);
    if (found != _links.end()) {
      found->second->flushQueued = false;
      Flush(*found->second, true);
    }
  }
}

void VELTCPSender::Flush(Link& link, bool mayEnd) {
  if (!link.open) {
    return;
  }
  const int result = link.bytes.Write(link.descriptor);
  if (result != 0 && result != EAGAIN) {
    if (mayEnd) {
      Outcomes outcomes;
      const Key key = link.key;
      EndLink(link, false, Failure::kReset, true, outcomes);
      Settled(key, outcomes);
    } else {
      link.startError = result;
      ArmLinkTimer(link, 0);
    }
    return;
  }
  const bool full = result == EAGAIN;
  if (full != link.writing) {
    link.writing = full;
    _application->ModifyWatch(link.descriptor, true, full);
  }
}

void VELTCPSender::ReadLink(Link& link) {
  const VELTCPStream::Reading heard = link.bytes.Read(link.descriptor);
  const Key key = link.key;
  Destination& destination = *_destinations.at(key);
  Outcomes outcomes;
  for (size_t i = 0; i < heard.delivered; ++i) {
    Account(destination, link.bytes.PopDelivered(), outcomes.delivered);
  }
  link.delivered += heard.delivered;
  if (heard.delivered > 0) {
    link.lastProgress = Clock::now();
    // The pending deadline is the delivery one; an idle time shorter than it must not wait for it.
    if (link.bytes.Blocks().empty() && _limits.streamIdleMs < _limits.deliveryDeadlineMs) {
      ArmLinkTimer(link, _limits.streamIdleMs);
    }
  }
  if (heard.malformed) {
    EndLink(link, false, Failure::kReset, true, outcomes);
  } else if (heard.closing) {
    // Nothing past the count was taken: those blocks go again. A stream closed before it carried anything
    // was refused.
    if (link.delivered == 0) {
      MarkPlain(destination);
    }
    EndLink(link, true, Failure::kReset, false, outcomes);
  } else if (heard.ended) {
    // Never acknowledged: the receiver did not take the hello, and takes one block per connection.
    if (!link.bytes.Heard()) {
      MarkPlain(destination);
    }
    EndLink(link, false, Failure::kReset, false, outcomes);
  } else if (heard.delivered == 0) {
    return;
  }
  Settled(key, outcomes);
}

void VELTCPSender::EndLink(Link& link, bool returned, Failure reason, bool abort, Outcomes& outcomes) {
  Destination& destination = *_destinations.at(link.key);
  std::deque<Block>& blocks = link.bytes.Blocks();
  // Blocks that never left whole cannot have been taken: once the stream has moved any, they go again rather
  // than fail (a receiver that went away is then found refusing, as a connection of their own would find it).
  const bool moved = link.delivered > 0 || link.bytes.Written() > 0;
  const size_t keep = returned                             ? 0
                      : moved && reason == Failure::kReset ? link.bytes.Written()
                                                           : blocks.size();
  while (blocks.size() > keep) {
    destination.queue.push_front(std::move(blocks.back()));
    blocks.pop_back();
  }
  if (!blocks.empty()) {
    for (const Block& block : blocks) {
      Account(destination, block, outcomes.failed);
    }
    outcomes.reason = reason;
  }
  if (link.watched) {
    _application->RemoveWatch(link.descriptor);
  }
  VELTCPClose(link.descriptor, abort);
  _application->CancelTimer(link.timerId);
  --StateOf(link.lane).open;
  destination.link = 0;
  _links.erase(link.id);
}

bool VELTCPSender::CloseIdleLink(Lane lane) {
  for (auto& entry : _links) {
    Link& link = *entry.second;
    if (link.lane != lane || !link.open || !link.bytes.Blocks().empty()) {
      continue;
    }
    const Key key = link.key;
    Outcomes none;
    EndLink(link, false, Failure::kReset, false, none);
    auto found = _destinations.find(key);
    if (found != _destinations.end() && found->second->queue.empty() && found->second->inFlight.empty() &&
        !found->second->waiting) {
      _destinations.erase(found);
    }
    return true;
  }
  return false;
}
