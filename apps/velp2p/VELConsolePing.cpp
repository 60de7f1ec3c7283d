#include "VELConsolePing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "VELConsoleJson.h"
#include "VELConsoleText.h"
#include "velp2p/VELIP2PPeer.h"
#include "velp2p/VELLastError.h"
#include "velp2p/VELP2PNotifications.h"

namespace {

const char kRequest[] = "velp2p.ping";
const char kAnswer[] = "velp2p.pong";
const char kDataPrefix[] = "ping ";

// The message's header when it is one of ours, else empty.
std::string PingHeader(VELNotification* notification) {
  if (!notification || !notification->IsAKindOf("VELP2PMessageReceivedNotif"))
    return std::string();
  auto* message = static_cast<VELP2PMessageReceivedNotif*>(notification);
  if (message->getType() != VELConsolePing::kType || !message->getHeader())
    return std::string();
  return message->getHeader()->Str();
}

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", ms);
  return text;
}

}  // namespace

void VELConsolePing::Answer(VELIP2PPeer* peer, VELNotification* notification) {
  if (PingHeader(notification) != kRequest)
    return;
  auto* message = static_cast<VELP2PMessageReceivedNotif*>(notification);
  std::string sender = message->getPeerName() ? message->getPeerName()->Str() : std::string();
  std::string data(message->getBuffer() ? message->getBuffer() : "",
                   message->getBuffer() ? message->getLength() : 0);
  VELApplication* loop = VELApplication::MainApplication();
  if (sender.empty() || data.empty() || !loop)
    return;
  // Answered from the loop rather than from inside the delivery of the request.
  loop->AddTimer(0, [peer, sender, data]() mutable {
    (void)peer->SendP2PMessage(VELUnicodeString(sender), kType, VELUnicodeString(kAnswer), &data[0],
                               static_cast<int>(data.size()));
  });
}

void VELConsolePing::Notified(VELNotification* notification) {
  if (_target.empty()) {
    VELListValVELUnicodeString names;
    (void)_peer->GetConnectedPeers(names);
    std::string prefix = _options.target + "_";
    for (const VELUnicodeString& name : names) {
      const std::string& text = name.Str();
      if (text != _self && (text == _options.target || text.compare(0, prefix.size(), prefix) == 0))
        _target = text;
      if (text == _options.target)
        break;
    }
    if (!_target.empty()) {
      if (!_options.json)
        Line("PING " + VELConsoleText::Shown(_target) + ": " + std::to_string(_options.count) +
             " requests over the message service");
      _application.AddTimer(0, [this] { SendNext(); });
    }
    return;
  }
  if (PingHeader(notification) != kAnswer)
    return;
  auto* message = static_cast<VELP2PMessageReceivedNotif*>(notification);
  if (!message->getPeerName() || message->getPeerName()->Str() != _target || !message->getBuffer())
    return;
  std::string data(message->getBuffer(), message->getLength());
  if (data.compare(0, sizeof(kDataPrefix) - 1, kDataPrefix) != 0)
    return;
  int sequence = std::atoi(data.c_str() + sizeof(kDataPrefix) - 1);
  auto sent = _sentAt.find(sequence);
  if (sent == _sentAt.end())
    return;  // a duplicate, or not ours
  double rtt = NowMs() - sent->second;
  _sentAt.erase(sent);
  _rtts.push_back(rtt);
  if (_options.json) {
    VELConsoleJson json;
    Line(json.AddText("ping", "reply")
             .AddText("peerName", _target)
             .AddNumber("seq", sequence)
             .AddText("rttMs", Milliseconds(rtt))
             .Text());
  } else {
    Line("reply from " + VELConsoleText::Shown(_target) + ": seq=" + std::to_string(sequence) +
         " time=" + Milliseconds(rtt) + " ms");
  }
}

void VELConsolePing::SendNext() {
  ++_sent;
  std::string data = kDataPrefix + std::to_string(_sent);
  _lastSentMs = NowMs();
  _sentAt[_sent] = _lastSentMs;
  VELP2PClearLastError();
  VELResult result = _peer->SendP2PMessage(VELUnicodeString(_target), kType, VELUnicodeString(kRequest),
                                           &data[0], static_cast<int>(data.size()));
  if (VEL_FAILED(result)) {
    // The library's reason may name the peer.
    const std::string reason =
        VELConsoleText::Shown(VELP2PGetLastErrorCode() ? VELP2PGetLastErrorText() : VELResultMessage(result));
    std::fprintf(stderr, "velp2p ping: request %d not sent: %s\n", _sent, reason.c_str());
  }
  int intervalMs = static_cast<int>(_options.interval * 1000);
  if (_sent < _options.count) {
    _application.AddTimer(intervalMs, [this] { SendNext(); });
  } else {
    // Wakes the loop when the last answer is overdue, so that Done() is asked again.
    _application.AddTimer(std::max(2000, 2 * intervalMs) + 1, [] {});
  }
}

bool VELConsolePing::Done() const {
  if (_target.empty() || _sent < _options.count)
    return false;
  return _sentAt.empty() || NowMs() - _lastSentMs > std::max(2000.0, 2000.0 * _options.interval);
}

int VELConsolePing::Finish(bool) {
  if (_target.empty()) {
    std::fprintf(stderr, "velp2p ping: no peer %s appeared\n", _options.target.c_str());
    return 1;
  }
  std::vector<double> sorted = _rtts;
  std::sort(sorted.begin(), sorted.end());
  std::string summary = VELConsoleText::Shown(_target) + ": " + std::to_string(_sent) + " sent, " +
                        std::to_string(_rtts.size()) + " received";
  if (_options.json) {
    VELConsoleJson json;
    json.AddText("ping", "summary")
        .AddText("peerName", _target)
        .AddNumber("sent", _sent)
        .AddNumber("received", static_cast<int64_t>(_rtts.size()));
    if (!sorted.empty()) {
      json.AddText("minMs", Milliseconds(sorted.front()))
          .AddText("medianMs", Milliseconds(sorted[sorted.size() / 2]))
          .AddText("maxMs", Milliseconds(sorted.back()));
    }
    Line(json.Text());
  } else if (sorted.empty()) {
    Line("--- " + summary);
  } else {
    Line("--- " + summary + "; round trip min/median/max = " + Milliseconds(sorted.front()) + "/" +
         Milliseconds(sorted[sorted.size() / 2]) + "/" + Milliseconds(sorted.back()) + " ms");
  }
  return _rtts.empty() ? 1 : 0;
}
