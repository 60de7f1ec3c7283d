// Sessions: no state is kept; opening or closing one sends a session message to the other peer and a copy
// to the local peer, and each side's session service tells its application.
#include <vector>

#include "host/VELLastError.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PPeer.h"
#include "wire/VELP2PPayloads.h"

namespace {

constexpr unsigned char kSessionOpened = '0';
constexpr unsigned char kSessionClosed = '1';

}  // namespace

VELResult VELP2PPeer::SendSessionMessage(const VELUnicodeString& peerName, int sessionType,
                                         unsigned char eventType) {
  if (!_connectedPeers)
    return VELFail(VELP2P_ERROR_NOT_CONNECTED);
  VELP2PPeerInfo* other = _connectedPeers->Locate(peerName);
  if (!other)
    return VELFail(VELP2P_ERROR_UNKNOWN_PEER, peerName.Str());
  std::vector<char> message = VELP2PWriteSession(eventType, sessionType, peerName.Str());
  const int length = static_cast<int>(message.size());

  VELUnicodeString toOther("/");
  (void)SendToPeer(toOther, "VELP2PSessionService", message.data(), length, other);
  // The lookup comes after the first send: a send may have changed the directory.
  if (!_connectedPeers)
    return VELFail(VELP2P_ERROR_NOT_CONNECTED);
  VELP2PPeerInfo* self = _connectedPeers->Locate(_peerName);
  if (!self)
    return VELFail(VELP2P_ERROR_NOT_CONNECTED);
  // Only "/Force" passes the receive path's filter of messages that carry the local name as sender.
  VELUnicodeString toSelf("/Force");
  return SendToPeer(toSelf, "VELP2PSessionService", message.data(), length, self);
}

VELResult VELP2PPeer::OpenP2PSession(const VELUnicodeString& peerName, int sessionType) {
  return SendSessionMessage(peerName, sessionType, kSessionOpened);
}

VELResult VELP2PPeer::CloseP2PSession(const VELUnicodeString& peerName, int sessionType) {
  return SendSessionMessage(peerName, sessionType, kSessionClosed);
}
