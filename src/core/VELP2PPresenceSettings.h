// How the local peer keeps its view of the others fresh: how long a peer may stay silent before it is
// checked, and whether the local peer re-announces itself. One object, so that a caller may give it instead
// of the environment.
#ifndef VELP2P_CORE_VELP2PPRESENCESETTINGS_H
#define VELP2P_CORE_VELP2PPRESENCESETTINGS_H

class VELP2POptions;

struct VELP2PPresenceSettings {
  static constexpr int kDefaultLivenessMs = 10000;
  static constexpr int kMinLivenessMs = 500;

  // Silence after which a peer is checked, then removed when the checks fail; 0: never checked, never
  // removed for silence.
  int livenessMs = kDefaultLivenessMs;
  // Whether the local peer announces itself again after its start (soon, then periodically).
  bool announce = true;

  // From the start-up's options ("liveness", "announce"; the environment's VELP2PLiveness and
  // VELP2PAnnounce).
  static VELP2PPresenceSettings From(const VELP2POptions& options);

  // The announcement period: half the liveness interval (the default one with checks off), so that a live
  // peer is heard twice before it would be checked. Every peer hears every announcement, so in a larger
  // group it grows, up to 0.8 of the interval from kLargeGroup known peers on; with a tenth of jitter, the
  // longest gap still ends before the interval.
  int AnnouncePeriodMs(int knownPeers = 0) const;

  static constexpr int kLargeGroup = 200;
};

#endif
