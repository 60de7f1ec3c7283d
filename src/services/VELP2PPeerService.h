// The peer service: tells the peers of the current group how to reach the local peer, and when it leaves.
#ifndef VELP2P_SERVICES_VELP2PPEERSERVICE_H
#define VELP2P_SERVICES_VELP2PPEERSERVICE_H

#include <memory>
#include <vector>

#include "velp2p/VELNotification.h"
#include "velp2p/VELP2PCoreService.h"
#include "velp2p/VELP2PPeerInfo.h"

// The peer message is the whole payload of every message of this service and of the discovery service:
//
//   offset 0       1 byte    command, '0' present (announcement or answer), '1' leaving
//   offset 1       2 bytes   N, the number of endpoint records, network byte order
//   offset 3       8N bytes  the local endpoint records: multicast endpoints first, then unicast ones
//   offset 3 + 8N  4 bytes   zero, ignored by receivers
//
// It is built once when the service is initialised; only its command byte changes afterwards.
class VELP2PPeerService : public VELP2PCoreService {
  VEL_DECLARE_CLASS(VELP2PPeerService)
 public:
  VELP2PPeerService();

  VELResult Initialize() override;
  const char* GetServiceName() override { return "PeerService"; }

  // Leaves the group last announced to and announces the local peer in the new current group.
  void GroupModificationCB(const char* event, VELBaseUnknown* publisher, VELNotification* notification,
                           void* data, VELCallback* callback);
  // Sends the leave message to the current group.
  void ClosePeerCB(const char* event, VELBaseUnknown* publisher, VELNotification* notification, void* data,
                   VELCallback* callback);

  // The peer message as built, for inspection; null before Initialize.
  const char* GetPeerMessage() const { return _peerMessage.empty() ? nullptr : _peerMessage.data(); }
  int GetPeerMessageLength() const { return static_cast<int>(_peerMessage.size()); }
  const VELUnicodeString& GetAnnouncedGroup() const { return _announcedGroup; }

 protected:
  ~VELP2PPeerService() override;

  // Applies a peer message of the current group; messages of any other group are refused.
  VELResult Receive(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage* message) override;
  // Applies one received peer message to the directory of the current group, and answers a presence heard
  // by multicast from another peer. Refuses a body whose endpoint records do not fit.
  VELResult ReceivePeerMessage(VELP2PPeer& peer, VELP2PReceivedMessage& received, VELIP2PMessage* message);
  // Builds _peerMessage from the endpoints the local peer has now.
  VELResult StreamPeerMessage();
  // Writes the command byte of the peer message; false when there is no message.
  bool SetCommand(char command);
  // The sender of a received peer message as a directory record holding the endpoint records it carries;
  // null when the message is shorter than its 3 fixed bytes or when its records do not fit.
  std::unique_ptr<VELP2PPeerInfo> ParseSender(const VELP2PReceivedMessage& received) const;

  VELUnicodeString _announcedGroup;  // the group last announced to; empty until the first announcement
  std::vector<char> _peerMessage;    // the peer message, 8N + 7 bytes; empty until built
};

#endif
