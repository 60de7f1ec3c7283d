// A node's side of its endpoints: received messages go to its peer's dispatch, built blocks carry the peer's
// name and its first endpoint of the other kind, and the endpoints run on the node's loop.
#ifndef VELP2P_CORE_VELP2PPEERRECEIVER_H
#define VELP2P_CORE_VELP2PPEERRECEIVER_H

#include "transport/VELP2PReceiver.h"

class VELP2PNode;

class VELP2PPeerReceiver : public VELP2PReceiver {
 public:
  explicit VELP2PPeerReceiver(VELP2PNode& node) : _node(node) {}
  VELP2PPeerReceiver(const VELP2PPeerReceiver&) = delete;
  VELP2PPeerReceiver& operator=(const VELP2PPeerReceiver&) = delete;

  // Nothing is handed over while the peer is not started. In collaboration mode a peer may hear its own
  // point-to-point messages (another process started under the same name); those are dropped unless they
  // ask to be delivered through the group "/Force".
  VELResult Receive(VELP2PHeader& header, bool byUnicast, const VELP2PSource& source) override;
  std::string NameOf(VELP2PPeerInfo* peer) override;
  // Tells presence that the network works.
  void Delivered() override;
  // Fires VELP2PSendFailedNotif and writes one diagnostic line.
  void SendFailed(const std::string& peerName, const std::string& address, const std::string& service,
                  const char* reason) override;
  // Fails when the peer's name does not fit the header (over 31 bytes, or a zero byte inside that would cut
  // it short).
  VELResult GetSenderIdentity(int mode, VELP2PSenderIdentity& identity) override;
  uint64_t RoutineCount() const override { return _routine; }
  VELApplication* Loop() const override;
  std::shared_ptr<VELP2PSending> Sending() const override;
  // As the last start-up's options say ("persistent"); the TCP endpoints ask when they open.
  bool Persistent() override { return _persistent; }
  void SetPersistent(bool on) { _persistent = on; }

 private:
  VELP2PNode& _node;
  uint64_t _routine = 0;  // messages that were only a known peer's presence
  bool _persistent = true;
};

#endif
