// Sessions: no state is kept; opening or closing one sends a session message to the other peer and a copy
// to the local peer, and each side's session service tells its application.
#include <cstring>
#include <vector>

#include "host/VELLastError.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PPeer.h"

namespace {

constexpr unsigned char kSessionOpened = '0';
constexpr unsigned char kSessionClosed = '1';

void PutInt32LE(std::vector<char>& out, size_t offset, int32_t value) {
  for (int i = 0; i < 4; ++i)
    out[offset + i] = static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
}

}  // namespace

VELResult VELP2PPeer::SendSessionMessage(const VELUnicodeString& peerName, int sessionType,
                                         unsigned char eventType) {
  if (!_connectedPeers)
    return VELFail(VELP2P_ERROR_NOT_CONNECTED);
  VELP2PPeerInfo* other = _connectedPeers->Locate(peerName);
  if (!other)
    return VELFail(VELP2P_ERROR_UNKNOWN_PEER, peerName.Str());
  // The name's length is counted in bytes of its UTF-8 form, so that any name arrives whole.
  const int32_t nameBytes = peerName.GetLengthInByte();
  std::vector<char> message(9 + static_cast<size_t>(nameBytes));
  message[0] = static_cast<char>(eventType);
  PutInt32LE(message, 1, sessionType);
  PutInt32LE(message, 5, nameBytes);
  std::memcpy(message.data() + 9, peerName.CastToCharPtr(), nameBytes);
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
