#include "core/VELP2PPresenceSettings.h"

#include <algorithm>

#include "core/VELP2POptions.h"

VELP2PPresenceSettings VELP2PPresenceSettings::From(const VELP2POptions& options) {
  VELP2PPresenceSettings settings;
  settings.livenessMs = options.LivenessIntervalMs();
  settings.announce = options.announce;
  return settings;
}

int VELP2PPresenceSettings::AnnouncePeriodMs(int knownPeers) const {
  const long long interval = livenessMs > 0 ? livenessMs : kDefaultLivenessMs;
  const long long peers = std::clamp(knownPeers, 0, kLargeGroup);
  return static_cast<int>(interval / 2 + interval * 3 * peers / (10 * kLargeGroup));
}
