// What an endpoint needs from the node that registered it: somewhere to hand received messages, the identity
// that blocks it builds carry, the loop it runs on and the node's sends. The peer gives it at registration,
// so transport never reaches up.
#ifndef VELP2P_TRANSPORT_VELP2PRECEIVER_H
#define VELP2P_TRANSPORT_VELP2PRECEIVER_H

#include <cstdint>
#include <memory>
#include <string>

#include "velp2p/VELResult.h"
#include "wire/VELP2PSenderIdentity.h"

class VELApplication;
class VELP2PHeader;
class VELP2PPeerInfo;
class VELP2PSending;

// Where the bytes of a received message came from, as far as the medium tells.
enum class VELP2POrigin { kUnknown, kThisHost, kElsewhere };

struct VELP2PSource {
  VELP2POrigin origin = VELP2POrigin::kUnknown;
  uint32_t address = 0;  // the datagram's or the connection's source address, network order; 0: unknown
};

class VELP2PReceiver {
 public:
  // One whole message, parsed and checked, received by a unicast endpoint or by a multicast one.
  virtual VELResult Receive(VELP2PHeader& header, bool byUnicast, const VELP2PSource& source) = 0;
  // A block that a send had queued was not delivered. peerName is empty when unknown; address reads
  // "a.b.c.d:port"; reason is "timed out", "refused", "reset" or "unreachable". Called from the loop, never
  // from inside a send.
  // The name of a peer record that a send was given (records belong to the layer above).
  virtual std::string NameOf(VELP2PPeerInfo* peer) = 0;
  virtual void SendFailed(const std::string& peerName, const std::string& address, const std::string& service,
                          const char* reason) = 0;
  // A block that a send had queued reached its destination. May come from inside a later send.
  virtual void Delivered() {}
  // The sender fields of a block built in mode 0 (unicast: the other kind is multicast) or 1 (multicast).
  virtual VELResult GetSenderIdentity(int mode, VELP2PSenderIdentity& identity) = 0;
  // Whether TCP endpoints take, and send, many blocks per connection where the other side does too.
  virtual bool Persistent() { return true; }
  // How many of the messages received so far brought nothing new (a known peer announcing itself again):
  // an endpoint may take its time over traffic that is only that.
  virtual uint64_t RoutineCount() const { return 0; }
  // The loop the endpoint registers with; null when there is none.
  virtual VELApplication* Loop() const = 0;
  // Where the node's TCP senders are kept; shared, so that an endpoint may outlive the node.
  virtual std::shared_ptr<VELP2PSending> Sending() const = 0;

  // The identifier of a fragment group leaving in this second: the second itself, moved on past the previous
  // group's when two leave within the same second. Receivers key groups by sender name, so a group still
  // incomplete at a receiver would otherwise refuse the next one of the same sender.
  uint32_t NextFragmentGroup(uint32_t second) {
    const int32_t ahead = static_cast<int32_t>(second - _lastFragmentGroup);  // serial distance, wraps safely
    _lastFragmentGroup = _lastFragmentGroup != 0 && ahead <= 0 ? _lastFragmentGroup + 1 : second;
    return _lastFragmentGroup;
  }

 protected:
  ~VELP2PReceiver() = default;

 private:
  uint32_t _lastFragmentGroup = 0;
};

#endif
