#include "VELConsoleWatch.h"

#include "VELConsoleEvents.h"
#include "VELConsoleJson.h"
#include "VELConsoleOutput.h"
#include "VELConsoleText.h"
#include "velp2p/VELP2PNotifications.h"

void VELConsoleWatch::Notified(VELNotification* notification) {
  if (!notification || !notification->IsAKindOf("VELP2PNotif"))
    return;
  auto* p2p = static_cast<VELP2PNotif*>(notification);
  std::string peer = p2p->getPeerName() ? p2p->getPeerName()->Str() : std::string();
  if (peer.empty() || peer == _self)
    return;
  // Each mode has its own directory: the peers present in collaboration mode, the group's in standard mode.
  const bool standard = _options.standard;
  if (notification->IsAKindOf(standard ? "VELP2PPeerCreatNotif" : "VELP2PPeerBirthNotif")) {
    Print("arrival", peer);
  } else if (notification->IsAKindOf(standard ? "VELP2PPeerDestructNotif" : "VELP2PPeerDeathNotif")) {
    Print("departure", peer);
  } else if (notification->IsAKindOf("VELP2PChangeStatusNotif")) {
    auto* change = static_cast<VELP2PChangeStatusNotif*>(notification);
    VELUnicodeString description;
    (void)change->getDescription(description);
    Print("status", peer, change->getStatus(), description.Str());
  }
}

void VELConsoleWatch::Print(const char* change, const std::string& peer, int32_t status,
                            const std::string& description) {
  const bool isStatus = change[0] == 's';
  if (_options.json) {
    VELConsoleJson json;
    json.AddText("change", change)
        .AddText("peerName", peer)
        .AddText("timestamp", VELConsoleOutput::IsoTime());
    if (isStatus) {
      json.AddNumber("status", status)
          .AddText("statusName", VELConsoleEvents::StatusName(status))
          .AddText("description", description);
    }
    Line(json.Text());
    return;
  }
  if (!isStatus) {
    Line(std::string(change[0] == 'a' ? "+ " : "- ") + VELConsoleText::Shown(peer));
    return;
  }
  Line("= " + VELConsoleText::Shown(peer) + " " + VELConsoleEvents::StatusText(status, description));
}
