// The local peer's side of its endpoints: received messages go to its dispatch, and built blocks carry its
// name and its first endpoint of the other kind.
#ifndef VELP2P_CORE_VELP2PPEERRECEIVER_H
#define VELP2P_CORE_VELP2PPEERRECEIVER_H

#include "transport/VELP2PReceiver.h"

class VELP2PPeerReceiver : public VELP2PReceiver {
 public:
  // The one instance, serving whichever local peer exists; it holds nothing but a counter.
  static VELP2PPeerReceiver& Instance();

  // Nothing is handed over while no peer is started. In collaboration mode a peer may hear its own
  // point-to-point messages (another process started under the same name); those are dropped unless they
  // ask to be delivered through the group "/Force".
  VELResult Receive(VELP2PHeader& header, bool byUnicast, const VELP2PSource& source) override;
  std::string NameOf(VELP2PPeerInfo* peer) override;
  // Fires VELP2PSendFailedNotif and writes one diagnostic line.
  void SendFailed(const std::string& peerName, const std::string& address, const std::string& service,
                  const char* reason) override;
  // Fails without a local peer, or when its name does not fit the header (over 31 bytes, or a zero byte
  // inside that would cut it short).
  VELResult GetSenderIdentity(int mode, VELP2PSenderIdentity& identity) override;
  uint64_t RoutineCount() const override { return _routine; }

 private:
  uint64_t _routine = 0;  // messages that were only a known peer's presence
};

#endif
