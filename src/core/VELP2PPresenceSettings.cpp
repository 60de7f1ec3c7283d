#include "core/VELP2PPresenceSettings.h"

#include <algorithm>
#include <cstdlib>

#include "velp2p/VELSystem.h"

VELP2PPresenceSettings VELP2PPresenceSettings::FromEnvironment() {
  VELP2PPresenceSettings settings;
  if (const char* liveness = VELGetEnv("VELP2PLiveness")) {
    const double seconds = std::strtod(liveness, nullptr);
    if (!(seconds > 0))
      settings.livenessMs = 0;
    else if (seconds * 1000 >= kMaxLivenessMs)
      settings.livenessMs = kMaxLivenessMs;
    else
      settings.livenessMs =
          seconds * 1000 < kMinLivenessMs ? kMinLivenessMs : static_cast<int>(seconds * 1000);
  }
  if (const char* announce = VELGetEnv("VELP2PAnnounce")) {
    char* end = nullptr;
    settings.announce = !(std::strtol(announce, &end, 10) == 0 && end != announce);
  }
  return settings;
}

int VELP2PPresenceSettings::AnnouncePeriodMs(int knownPeers) const {
  const long long interval = livenessMs > 0 ? livenessMs : kDefaultLivenessMs;
  const long long peers = std::clamp(knownPeers, 0, kLargeGroup);
  return static_cast<int>(interval / 2 + interval * 3 * peers / (10 * kLargeGroup));
}
