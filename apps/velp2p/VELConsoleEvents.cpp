#include "VELConsoleEvents.h"

#include <vector>

#include "VELConsoleJson.h"
#include "VELConsoleLine.h"
#include "VELConsoleText.h"
#include "velp2p/VELP2PCloseReason.h"
#include "velp2p/VELP2PLiveness.h"
#include "velp2p/VELP2PNotifications.h"

namespace {

std::string Text(const VELUnicodeString* text) {
  return text ? text->Str() : std::string();
}

std::vector<std::string> Texts(const VELListValVELUnicodeString* list) {
  std::vector<std::string> texts;
  if (list) {
    for (const VELUnicodeString& text : *list)
      texts.push_back(text.Str());
  }
  return texts;
}

// A text from the network as a sentence shows it.
std::string Shown(const VELUnicodeString* text) {
  return VELConsoleText::Shown(Text(text));
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) {
    if (!joined.empty())
      joined += ", ";
    joined += VELConsoleText::Shown(text);
  }
  return joined;
}

bool Is(VELNotification* notification, const char* className) {
  return notification->IsAKindOf(className) != 0;
}

// The notification as the class it was registered as; callers test the kind with Is() first.
template <class T>
const T* As(VELNotification* notification) {
  return static_cast<const T*>(notification);
}

// Why the peer named by the notification comes, goes or closes, when the library says.
const char* Reason(VELNotification* notification) {
  const char* closing = Is(notification, "VELP2PClosePeerNotif") ? VELP2PCloseReason() : nullptr;
  return closing ? closing : VELP2PPresenceReason();
}

std::string SessionWord(unsigned char eventType) {
  if (eventType == '0')
    return "opened";
  if (eventType == '1')
    return "closed";
  return "sent session event " + std::to_string(eventType) + " on";
}

}  // namespace

const char* VELConsoleEvents::StatusName(int32_t status) {
  static const char* const kNames[] = {"online",         "available", "busy", "away",
                                       "do-not-disturb", "invisible", "unset"};
  if (status < 0 || status >= static_cast<int32_t>(sizeof(kNames) / sizeof(kNames[0])))
    return "custom";
  return kNames[status];
}

std::string VELConsoleEvents::StatusText(int32_t status, const std::string& description) {
  std::string text = std::to_string(status) + " (" + StatusName(status) + ")";
  if (!description.empty())
    text += " " + VELConsoleText::Quoted(description);
  return text;
}

std::string VELConsoleEvents::DataText(const char* data, unsigned int length) {
  std::string bytes(data ? data : "", data ? length : 0);
  if (VELConsoleText::IsPlain(bytes))
    return VELConsoleText::Quoted(bytes);
  return std::to_string(bytes.size()) + " bytes hex:" + VELConsoleLine::Hex(bytes.data(), bytes.size());
}

void VELConsoleEvents::Print(VELNotification* notification) {
  if (!notification)
    return;
  Track(notification);
  if (_json) {
    _output.Line(Json(notification));
  } else {
    _output.Line(VELConsoleOutput::TimeStamp() + Sentence(notification));
  }
}

void VELConsoleEvents::Track(VELNotification* notification) {
  if (!Is(notification, "VELP2PNotif"))
    return;
  std::string peer = Text(As<VELP2PNotif>(notification)->getPeerName());
  if (Is(notification, "VELP2PCurrentGroupModifNotif")) {
    _groupPeers.clear();
  } else if (Is(notification, "VELP2PPeerCreatNotif")) {
    _groupPeers.insert(peer);
  } else if (Is(notification, "VELP2PPeerDestructNotif")) {
    _groupPeers.erase(peer);
  }
}

std::string VELConsoleEvents::Json(VELNotification* notification) const {
  VELConsoleJson json;
  json.AddText("event", notification->IsA()).AddText("timestamp", VELConsoleOutput::IsoTime());
  if (!Is(notification, "VELP2PNotif"))
    return json.Text();
  json.AddText("peerName", Text(As<VELP2PNotif>(notification)->getPeerName()));
  if (const char* reason = Reason(notification))
    json.AddText("reason", reason);
  if (Is(notification, "VELP2PChangeStatusNotif")) {
    auto* status = As<VELP2PChangeStatusNotif>(notification);
    VELUnicodeString description;
    (void)status->getDescription(description);
    json.AddNumber("status", status->getStatus())
        .AddText("statusName", StatusName(status->getStatus()))
        .AddText("description", description.Str());
  } else if (Is(notification, "VELP2PCrossGroupPeerCreatNotif")) {
    json.AddText("groupName", Text(As<VELP2PCrossGroupPeerCreatNotif>(notification)->getGroupName()));
  } else if (Is(notification, "VELP2PSearchResultNotif")) {
    json.AddText("groupName", Text(As<VELP2PSearchResultNotif>(notification)->getGroupName()));
  } else if (Is(notification, "VELP2PMessageReceivedNotif")) {
    auto* message = As<VELP2PMessageReceivedNotif>(notification);
    const char* data = message->getBuffer();
    unsigned int length = data ? message->getLength() : 0;
    json.AddNumber("type", message->getType())
        .AddText("header", Text(message->getHeader()))
        .AddNumber("length", length)
        .AddText("dataHex", VELConsoleLine::Hex(data, length));
  } else if (Is(notification, "VELP2PSessionNotif")) {
    auto* session = As<VELP2PSessionNotif>(notification);
    json.AddNumber("sessionType", session->getSessionType()).AddNumber("eventType", session->getEventType());
  } else if (Is(notification, "VELP2PSendFailedNotif")) {
    auto* failed = As<VELP2PSendFailedNotif>(notification);
    json.AddText("address", failed->getAddress())
        .AddText("service", failed->getService())
        .AddText("reason", failed->getReason());
  } else if (Is(notification, "VELP2PGroupModifNotif")) {
    auto* group = As<VELP2PGroupModifNotif>(notification);
    json.AddText("currentGroup", Text(group->getCurrentGroup()))
        .AddList("subGroups", Texts(group->getSubGroups()));
  }
  return json.Text();
}

std::string VELConsoleEvents::Sentence(VELNotification* notification) const {
  const char* reason = Reason(notification);
  std::string sentence = Clause(notification);
  return reason ? sentence + " (" + reason + ")" : sentence;
}

std::string VELConsoleEvents::Clause(VELNotification* notification) const {
  if (!Is(notification, "VELP2PNotif"))
    return std::string("notification ") + notification->IsA();
  const std::string peer = Shown(As<VELP2PNotif>(notification)->getPeerName());
  if (Is(notification, "VELP2PInitPeerNotif"))
    return "started as " + peer;
  if (Is(notification, "VELP2PClosePeerNotif"))
    return peer + " is closing";
  if (Is(notification, "VELP2PPeerSearchNotif"))
    return "searching every group for peers...";
  if (Is(notification, "VELP2PPeerBirthNotif"))
    return peer + " is online";
  if (Is(notification, "VELP2PPeerDeathNotif"))
    return peer + " went offline";
  if (Is(notification, "VELP2PPeerCreatNotif"))
    return peer + " is in the group";
  if (Is(notification, "VELP2PPeerDestructNotif"))
    return peer + " left the group";
  if (Is(notification, "VELP2PChangeStatusNotif")) {
    auto* status = As<VELP2PChangeStatusNotif>(notification);
    VELUnicodeString description;
    (void)status->getDescription(description);
    return peer + " has status " + StatusText(status->getStatus(), description.Str());
  }
  if (Is(notification, "VELP2PCrossGroupPeerCreatNotif")) {
    return peer + " is known in group " +
           Shown(As<VELP2PCrossGroupPeerCreatNotif>(notification)->getGroupName());
  }
  if (Is(notification, "VELP2PSearchResultNotif")) {
    return "found " + peer + " in group " + Shown(As<VELP2PSearchResultNotif>(notification)->getGroupName());
  }
  if (Is(notification, "VELP2PMessageReceivedNotif")) {
    auto* message = As<VELP2PMessageReceivedNotif>(notification);
    std::string header = Text(message->getHeader());
    std::string sentence = "message from " + peer + " (type " + std::to_string(message->getType());
    if (!header.empty())
      sentence += ", header " + VELConsoleText::Quoted(header);
    return sentence + "): " + DataText(message->getBuffer(), message->getLength());
  }
  if (Is(notification, "VELP2PSessionNotif")) {
    auto* session = As<VELP2PSessionNotif>(notification);
    return "session of type " + std::to_string(session->getSessionType()) + " " +
           SessionWord(session->getEventType()) + " with " + peer;
  }
  if (Is(notification, "VELP2PSendFailedNotif")) {
    auto* failed = As<VELP2PSendFailedNotif>(notification);
    return std::string("a ") + failed->getService() + " message to " + (peer.empty() ? "" : peer + " at ") +
           failed->getAddress() + " was not delivered: " + failed->getReason();
  }
  if (Is(notification, "VELP2PGroupModifNotif")) {
    auto* group = As<VELP2PGroupModifNotif>(notification);
    std::vector<std::string> subGroups = Texts(group->getSubGroups());
    std::string where = Shown(group->getCurrentGroup());
    std::string known = subGroups.empty() ? "no sub-group known" : "sub-groups: " + Joined(subGroups);
    if (Is(notification, "VELP2PCurrentGroupModifNotif"))
      return "now in group " + where + " (" + known + ")";
    if (Is(notification, "VELP2PSubGroupModifNotif"))
      return "sub-groups of " + where + " now: " + Joined(subGroups);
    return "group " + where + " changed (" + known + ")";
  }
  return std::string(notification->IsA()) + " for " + peer;
}
