#include "velp2p/VELP2PHeader.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <new>

#include "host/VELTraceMacros.h"
#include "velp2p/VELP2PTypes.h"
#include "wire/VELByteOrder.h"
#include "wire/VELP2PBlockLayout.h"
#include "wire/VELP2PHeaderFields.h"

VELP2PHeader::VELP2PHeader()
    : _fixedPart(nullptr), _rawMessage(nullptr), _bufferLength(0), _payloadLength(0), _payload(nullptr) {
  VELP2P_TRACE("VELP2PHeader - Constructor");
}

VELP2PHeader::~VELP2PHeader() {
  VELP2P_TRACE("VELP2PHeader - Destructor");
}

VELResult VELP2PHeader::Build(const VELUnicodeString& group, const char* serviceName, const char* senderName,
                              unsigned int senderAddress, unsigned short senderPort,
                              unsigned int otherAddress, unsigned short otherPort, const char* data,
                              int length, int mode) {
  if (_fixedPart || _buffer)
    return VEL_E_FAIL;
  const VELP2PBlockFields fields{serviceName,  senderName, senderAddress, senderPort,
                                 otherAddress, otherPort,  mode};
  const int totalLength = VELP2PBlockSize(group, fields, data, length);
  if (totalLength < 0)
    return VEL_E_FAIL;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[totalLength]);
  if (!buffer)
    return VEL_E_FAIL;
  char* block = buffer.get();
  VELP2PWriteBlock(block, group, fields, data, length);
  const int headerLength = totalLength - length;
  _buffer = std::move(buffer);
  _fixedPart = reinterpret_cast<VELP2PHeaderFixedPart*>(block);
  _bufferLength = totalLength;
  _messageGroup = group;
  _sendingPeerName = VELUnicodeString(senderName, static_cast<int>(strnlen(senderName, 32)));
  _payloadLength = length;
  _payload = block + headerLength;
  return VEL_S_OK;
}

VELResult VELP2PHeader::Initialize(VELP2PHeaderFixedPart* block, int receivedBytes) {
  if (!block || receivedBytes < 0 || _fixedPart || _buffer)
    return VEL_E_FAIL;
  VELP2PHeaderFields fields;
  if (!VELP2PHeaderFields::Read(reinterpret_cast<const uint8_t*>(block), static_cast<size_t>(receivedBytes),
                                fields)) {
    return VEL_E_FAIL;
  }
  // A zero byte ends the group path as it ends every text the peers compare.
  const void* end = std::memchr(fields.group, 0, fields.groupLength);
  int groupLength =
      end ? static_cast<int>(static_cast<const uint8_t*>(end) - fields.group) : fields.groupLength;

  _fixedPart = block;
  _rawMessage = reinterpret_cast<char*>(block);
  _messageGroup = VELUnicodeString(reinterpret_cast<const char*>(fields.group), groupLength);
  _sendingPeerName = VELUnicodeString(fields.senderName);
  _payloadLength = static_cast<int>(fields.totalLength - fields.headerLength);
  _payload = _rawMessage + fields.headerLength;
  return VEL_S_OK;
}

VELResult VELP2PHeader::GetBuffer(char*& buffer, int& length) {
  if (!_buffer)
    return VEL_E_FAIL;
  buffer = _buffer.get();
  length = _bufferLength;
  return VEL_S_OK;
}
