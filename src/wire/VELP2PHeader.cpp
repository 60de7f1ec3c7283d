#include "velp2p/VELP2PHeader.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <new>

#include "host/VELTraceMacros.h"
#include "velp2p/VELP2PTypes.h"
#include "wire/VELByteOrder.h"
#include "wire/VELP2PHeaderFields.h"

namespace {

const int kNameField = 32;

// The length of name when it fits a 32-byte name field with its terminator, else -1.
int NameFieldLength(const char* name) {
  size_t length = strnlen(name, kNameField);
  return length > VELP2P_HEADER_MAX_NAME ? -1 : static_cast<int>(length);
}

}  // namespace

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
  if (_fixedPart || _buffer || !serviceName || !senderName || !data || length < 0)
    return VEL_E_FAIL;
  uint8_t modeByte;
  if (mode == 0) {
    modeByte = VELP2P_MESSAGE_SINGLE | VELP2P_MESSAGE_UNICAST;
  } else if (mode == 1) {
    modeByte = VELP2P_MESSAGE_SINGLE | VELP2P_MESSAGE_MULTICAST;
  } else {
    return VEL_E_FAIL;
  }
  int serviceLength = NameFieldLength(serviceName);
  int senderLength = NameFieldLength(senderName);
  if (serviceLength < 0 || senderLength < 0)
    return VEL_E_FAIL;
  int groupLength = group.GetLengthInByte();
  if (groupLength > 0xFFFF - VELP2P_HEADER_FIXED_SIZE)
    return VEL_E_FAIL;
  int headerLength = VELP2P_HEADER_FIXED_SIZE + groupLength;
  if (length > INT_MAX - headerLength)
    return VEL_E_FAIL;
  int totalLength = headerLength + length;

  std::unique_ptr<char[]> buffer(new (std::nothrow) char[totalLength]);
  if (!buffer)
    return VEL_E_FAIL;
  char* block = buffer.get();
  std::memset(block, 0, VELP2P_HEADER_FIXED_SIZE);
  VELP2PStoreU32BE(block + offsetof(VELP2PHeaderFixedPart, totalLength), static_cast<uint32_t>(totalLength));
  VELP2PStoreU16BE(block + offsetof(VELP2PHeaderFixedPart, headerLength),
                   static_cast<uint16_t>(headerLength));
  block[offsetof(VELP2PHeaderFixedPart, version)] = 1;
  block[offsetof(VELP2PHeaderFixedPart, mode)] = static_cast<char>(modeByte);
  VELP2PStoreU16BE(block + offsetof(VELP2PHeaderFixedPart, groupOffset), VELP2P_HEADER_FIXED_SIZE);
  VELP2PStoreU16BE(block + offsetof(VELP2PHeaderFixedPart, groupLength), static_cast<uint16_t>(groupLength));
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, serviceName), serviceName, serviceLength);
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, senderName), senderName, senderLength);
  // Addresses and ports are record bytes: copied as they lie, never converted.
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, senderAddress), &senderAddress, 4);
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, otherAddress), &otherAddress, 4);
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, senderPort), &senderPort, 2);
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, otherPort), &otherPort, 2);
  if (groupLength > 0)
    std::memcpy(block + VELP2P_HEADER_FIXED_SIZE, group.CastToCharPtr(), groupLength);
  if (length > 0)
    std::memcpy(block + headerLength, data, length);

  _buffer = std::move(buffer);
  _fixedPart = reinterpret_cast<VELP2PHeaderFixedPart*>(block);
  _bufferLength = totalLength;
  _messageGroup = group;
  _sendingPeerName = VELUnicodeString(senderName, senderLength);
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

std::unique_ptr<char[]> VELP2PHeader::TakeBuffer(int& length) {
  length = _buffer ? _bufferLength : 0;
  _fixedPart = nullptr;
  _rawMessage = nullptr;
  _payload = nullptr;
  _bufferLength = 0;
  _payloadLength = 0;
  return std::move(_buffer);
}

VELResult VELP2PHeader::GetBuffer(char*& buffer, int& length) {
  if (!_buffer)
    return VEL_E_FAIL;
  buffer = _buffer.get();
  length = _bufferLength;
  return VEL_S_OK;
}
