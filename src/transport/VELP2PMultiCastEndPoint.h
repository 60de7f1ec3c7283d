// The endpoint for group-wide traffic: one UDP datagram to the multicast group per message.
#ifndef VELP2P_TRANSPORT_VELP2PMULTICASTENDPOINT_H
#define VELP2P_TRANSPORT_VELP2PMULTICASTENDPOINT_H

#include <chrono>
#include <memory>

#include "velp2p/VELP2PEndPoint.h"

class VELUDPSocket;

// Every block goes whole into one datagram, and receivers read datagrams into VELP2P_MULTICAST_MAX_BLOCK
// bytes: a message whose block would be longer is refused by SendToGroup rather than sent to be cut, and a
// datagram that was cut or that announces more bytes than it brought is discarded on receipt.
//
// Datagrams are read in gathered turns. Every peer hears every other's announcements, so in a large group a
// process woken for each datagram would spend most of its time waking up. A wake-up reads all the socket
// holds (up to kDrainMax). Once kBusyWakes came within a second, the last within kGatherMs of the one before,
// the socket is left unwatched and read again after a pause, for as long as the pauses find datagrams. The
// pause is kNewsGatherMs after datagrams that brought news, and doubles after each read that brought nothing
// but known peers announcing themselves again, up to kGatherMs; it is shorter when datagrams come fast
// enough to fill half of kDrainMax in less. So a quiet group is heard at once, a busy one within tens of
// milliseconds, and an idle large one, whose traffic is all announcements, at about one wake-up a second.
class VELP2PMultiCastEndPoint : public VELP2PEndPoint {
  VEL_DECLARE_CLASS(VELP2PMultiCastEndPoint)
 public:
  static constexpr const char* kDefaultAddress = "224.0.1.85";
  static constexpr int kDefaultPort = 2678;
  static constexpr int kDrainMax = 64;
  static constexpr int kGatherMs = 1000;
  static constexpr int kNewsGatherMs = 50;
  static constexpr int kBusyWakes = 4;

  VELP2PMultiCastEndPoint();

  // Joins the group (null or empty: kDefaultAddress) on the port (0: kDefaultPort) and registers with the
  // loop. Refused, changing nothing, when the endpoint is already open.
  VELResult Initialize(const char* address, int port) override;
  int IsUnicast() override;
  int IsMulticast() override;
  VELResult SendToGroup(VELUnicodeString& group, const char* serviceName, char* data, int length) override;
  // A multicast endpoint cannot reach one peer: always VEL_E_FAIL.
  VELResult SendToPeer(VELUnicodeString& group, const char* serviceName, char* data, int length,
                       VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  // Reads and dispatches the datagrams waiting, up to kDrainMax.
  VELResult ReceiveData() override;
  VELResult SendData(VELUnicodeString& group, const char* serviceName, char* bytes, int byteLength,
                     VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) override;
  VELResult BuildMessage(VELUnicodeString& group, const char* serviceName, char* data, int length,
                         VELP2PHeader& header) override;

  using VELP2PEndPoint::Initialize;

 protected:
  ~VELP2PMultiCastEndPoint() override;

 private:
  using Clock = std::chrono::steady_clock;

  // Reads and dispatches one datagram; false when none was waiting.
  bool ReceiveOne();
  // Reads what the socket holds, up to kDrainMax; returns how many were read.
  int Drain();
  // After a drain that read count datagrams: pauses the watch, or restores it.
  void Paced(int count, Clock::time_point now);
  // The end of a pause: reads, then paces again.
  void Gather();

  std::unique_ptr<VELUDPSocket> _udpSocket;  // null until Initialize opens it
  Clock::time_point _lastDrain;
  Clock::time_point _windowStart;  // of the second whose wake-ups _wakes counts
  int _wakes = 0;
  bool _news = false;             // the last drain read something other than a known peer's presence
  int _gatherMs = kNewsGatherMs;  // the pause now, before the rate is taken into account
  bool _paused = false;           // the socket is not watched: Gather reads it when _gatherTimer fires
  int _gatherTimer = 0;
};

#endif
