#include "capi/VELP2PCEvent.h"

#include <cstring>

#include "velp2p/VELP2PCloseReason.h"
#include "velp2p/VELP2PLiveness.h"
#include "velp2p/VELP2PNotifications.h"

namespace {

std::string Text(const VELUnicodeString* text) {
  return text ? text->Str() : std::string();
}

std::unique_ptr<velp2p_event_t> Make(const char* kind, VELNotification* notification) {
  auto event = std::make_unique<velp2p_event_t>();
  event->kind = kind;
  event->peer = Text(static_cast<VELP2PNotif*>(notification)->getPeerName());
  return event;
}

void Message(velp2p_event_t& event, VELNotification* notification) {
  auto* message = static_cast<VELP2PMessageReceivedNotif*>(notification);
  event.type = message->getType();
  event.header = Text(message->getHeader());
  if (message->getBuffer())
    event.data.assign(message->getBuffer(), message->getBuffer() + message->getLength());
}

void Status(velp2p_event_t& event, VELNotification* notification) {
  auto* change = static_cast<VELP2PChangeStatusNotif*>(notification);
  event.status = change->getStatus();
  VELUnicodeString description;
  change->getDescription(description);
  event.text = description.Str();
}

void Session(velp2p_event_t& event, VELNotification* notification) {
  auto* session = static_cast<VELP2PSessionNotif*>(notification);
  event.type = session->getSessionType();
  const unsigned char what = session->getEventType();
  event.text = what == '0' ? "opened" : what == '1' ? "closed" : "event " + std::to_string(what);
}

void Group(velp2p_event_t& event, VELNotification* notification) {
  event.text = Text(static_cast<VELP2PGroupModifNotif*>(notification)->getCurrentGroup());
}

void Left(velp2p_event_t& event, VELNotification*) {
  const char* reason = VELP2PPresenceReason();
  event.text = reason ? reason : "";
}

void Closing(velp2p_event_t& event, VELNotification*) {
  const char* reason = VELP2PCloseReason();
  event.text = reason ? reason : "";
}

void Found(velp2p_event_t& event, VELNotification* notification) {
  event.text = Text(static_cast<VELP2PSearchResultNotif*>(notification)->getGroupName());
}

void SendFailed(velp2p_event_t& event, VELNotification* notification) {
  auto* failure = static_cast<VELP2PSendFailedNotif*>(notification);
  event.text = failure->getReason() ? failure->getReason() : "";
  event.header = failure->getAddress() ? failure->getAddress() : "";
}

struct Kind {
  const char* className;  // the notification's exact class
  const char* kind;
  void (*fill)(velp2p_event_t& event, VELNotification* notification);
};

// Messages come first: they are by far the most frequent.
const Kind kKinds[] = {
    {"VELP2PMessageReceivedNotif", "message", Message}, {"VELP2PChangeStatusNotif", "status", Status},
    {"VELP2PPeerBirthNotif", "born", nullptr},          {"VELP2PPeerDeathNotif", "left", Left},
    {"VELP2PSessionNotif", "session", Session},         {"VELP2PSendFailedNotif", "send_failed", SendFailed},
    {"VELP2PPeerCreatNotif", "joined", nullptr},        {"VELP2PPeerDestructNotif", "parted", nullptr},
    {"VELP2PCurrentGroupModifNotif", "group", Group},   {"VELP2PSubGroupModifNotif", "subgroup", Group},
    {"VELP2PSearchResultNotif", "found", Found},        {"VELP2PInitPeerNotif", "started", nullptr},
    {"VELP2PClosePeerNotif", "closing", Closing},
};

}  // namespace

std::unique_ptr<velp2p_event_t> VELP2PCEvent::FromNotification(VELNotification* notification) {
  // The exact class names of the table are all notifications of the peer (VELP2PNotif).
  const char* className = notification ? notification->IsA() : nullptr;
  if (!className)
    return nullptr;
  for (const Kind& kind : kKinds) {
    if (std::strcmp(kind.className, className) != 0)
      continue;
    std::unique_ptr<velp2p_event_t> event = Make(kind.kind, notification);
    if (kind.fill)
      kind.fill(*event, notification);
    return event;
  }
  return nullptr;
}

std::unique_ptr<velp2p_event_t> VELP2PCEvent::Dropped(uint64_t count) {
  auto event = std::make_unique<velp2p_event_t>();
  event->kind = "dropped";
  event->status = count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
  event->text = std::to_string(count) + " events dropped: the queue was full";
  return event;
}

std::unique_ptr<velp2p_event_t> VELP2PCEvent::Diagnostic(const std::string& line) {
  auto event = std::make_unique<velp2p_event_t>();
  event->kind = "diagnostic";
  event->text = line;
  while (!event->text.empty() && event->text.back() == '\n')
    event->text.pop_back();
  return event;
}
