// The awareness service: announces the local peer alive and dead, learns of every other live peer and keeps
// two processes from using one name.
#ifndef VELP2P_SERVICES_VELP2PAWARENESSSERVICE_H
#define VELP2P_SERVICES_VELP2PAWARENESSSERVICE_H

#include <chrono>
#include <memory>
#include <vector>

#include "velp2p/VELNotification.h"
#include "velp2p/VELP2PCoreService.h"

// An announcement is kind (1 byte: '0' birth, '1' update, '2' death, '3' name already used), the number N of
// endpoint records (16 bits, network order), the sender's process id (32 bits, little-endian) and the N
// 8-byte records, multicast endpoints first. The local one is built once; each send rewrites its kind byte.
class VELP2PAwarenessService : public VELP2PCoreService {
  VEL_DECLARE_CLASS(VELP2PAwarenessService)
 public:
  VELP2PAwarenessService();

  // Subscribes to the peer's start and close, and builds the announcement from the endpoints present now.
  VELResult Initialize() override;
  const char* GetServiceName() override { return "AwarenessService"; }
  // Accepts every group.

  // Multicasts the birth announcement; called for VELP2PInitPeerNotif.
  void PeerInitCB(const char* event, VELBaseUnknown* publisher, VELNotification* notification, void* data,
                  VELCallback* callback);
  // Multicasts the death announcement; called for VELP2PClosePeerNotif.
  void PeerDeathCB(const char* event, VELBaseUnknown* publisher, VELNotification* notification, void* data,
                   VELCallback* callback);
  // Answers a newcomer point to point, as a birth heard by multicast is answered: with the local
  // announcement, of kind '1' or, when the newcomer uses the local name, '3' (then through the group
  // "/Force", the only one that it accepts under its own name), followed by the local status.
  VELResult Answer(VELP2PPeer& peer, VELP2PPeerInfo& newcomer, bool nameInUse);

 protected:
  ~VELP2PAwarenessService() override;

  // Records, answers or removes the sender of a birth, update or death; a name already used disconnects.
  VELResult Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage* message) override;

 private:
  VELResult StreamPeerMessage();
  // Writes kind into the announcement and multicasts it to "/".
  void Announce(unsigned char kind);

  std::vector<char> _peerMessage;                 // the local announcement; empty until built
  std::chrono::steady_clock::time_point _bornAt;  // when the birth was announced
};

#endif
