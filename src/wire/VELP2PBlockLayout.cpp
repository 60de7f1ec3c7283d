#include "wire/VELP2PBlockLayout.h"

#include <climits>
#include <cstddef>
#include <cstring>

#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PTypes.h"
#include "wire/VELByteOrder.h"

namespace {

const int kNameField = 32;

// The length of name when it fits a 32-byte name field with its terminator, else -1.
int NameFieldLength(const char* name) {
  size_t length = strnlen(name, kNameField);
  return length > VELP2P_HEADER_MAX_NAME ? -1 : static_cast<int>(length);
}

}  // namespace

int VELP2PBlockSize(const VELUnicodeString& group, const VELP2PBlockFields& fields, const char* data,
                    int length) {
  if (!fields.serviceName || !fields.senderName || !data || length < 0 ||
      (fields.mode != 0 && fields.mode != 1))
    return -1;
  if (NameFieldLength(fields.serviceName) < 0 || NameFieldLength(fields.senderName) < 0)
    return -1;
  const int groupLength = group.GetLengthInByte();
  if (groupLength > 0xFFFF - VELP2P_HEADER_FIXED_SIZE)
    return -1;
  const int headerLength = VELP2P_HEADER_FIXED_SIZE + groupLength;
  if (length > INT_MAX - headerLength)
    return -1;
  return headerLength + length;
}

void VELP2PWriteBlock(char* block, const VELUnicodeString& group, const VELP2PBlockFields& fields,
                      const char* data, int length) {
  const uint8_t modeByte =
      VELP2P_MESSAGE_SINGLE | (fields.mode == 0 ? VELP2P_MESSAGE_UNICAST : VELP2P_MESSAGE_MULTICAST);
  const int groupLength = group.GetLengthInByte();
  const int headerLength = VELP2P_HEADER_FIXED_SIZE + groupLength;
  const int totalLength = headerLength + length;
  std::memset(block, 0, VELP2P_HEADER_FIXED_SIZE);
  VELP2PStoreU32BE(block + offsetof(VELP2PHeaderFixedPart, totalLength), static_cast<uint32_t>(totalLength));
  VELP2PStoreU16BE(block + offsetof(VELP2PHeaderFixedPart, headerLength),
                   static_cast<uint16_t>(headerLength));
  block[offsetof(VELP2PHeaderFixedPart, version)] = 1;
  block[offsetof(VELP2PHeaderFixedPart, mode)] = static_cast<char>(modeByte);
  VELP2PStoreU16BE(block + offsetof(VELP2PHeaderFixedPart, groupOffset), VELP2P_HEADER_FIXED_SIZE);
  VELP2PStoreU16BE(block + offsetof(VELP2PHeaderFixedPart, groupLength), static_cast<uint16_t>(groupLength));
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, serviceName), fields.serviceName,
              static_cast<size_t>(NameFieldLength(fields.serviceName)));
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, senderName), fields.senderName,
              static_cast<size_t>(NameFieldLength(fields.senderName)));
  // Addresses and ports are record bytes: copied as they lie, never converted.
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, senderAddress), &fields.senderAddress, 4);
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, otherAddress), &fields.otherAddress, 4);
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, senderPort), &fields.senderPort, 2);
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, otherPort), &fields.otherPort, 2);
  if (groupLength > 0)
    std::memcpy(block + VELP2P_HEADER_FIXED_SIZE, group.CastToCharPtr(), static_cast<size_t>(groupLength));
  if (length > 0)
    std::memcpy(block + headerLength, data, static_cast<size_t>(length));
}
