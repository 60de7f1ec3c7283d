#include "wire/VELP2PHeaderFields.h"

#include <cstddef>
#include <cstring>

#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PTypes.h"
#include "wire/VELByteOrder.h"
#include "wire/VELByteReader.h"

namespace {

const size_t kNameField = 32;

}  // namespace

VELP2PHeaderFields::Fault VELP2PHeaderFields::Check(const uint8_t* block, size_t size,
                                                    VELP2PHeaderFields& fields) {
  VELByteReader reader(block, size);
  fields = VELP2PHeaderFields{};
  const uint8_t* service = nullptr;
  const uint8_t* sender = nullptr;
  // The address and port fields are not checked: any value is a valid one.
  if (!reader.ReadU32BE(fields.totalLength) || !reader.ReadU16BE(fields.headerLength) ||
      !reader.ReadU8(fields.version) || !reader.ReadU8(fields.mode) ||
      !reader.ReadU16BE(fields.groupOffset) || !reader.ReadU16BE(fields.groupLength) ||
      !reader.ReadBytes(kNameField, service) || !reader.ReadBytes(kNameField, sender) || !reader.Skip(12)) {
    fields = VELP2PHeaderFields{};
    return Fault::kShort;
  }
  fields.fixedPart = block;
  if (fields.totalLength > size)
    return Fault::kBeyondReceived;
  if (fields.headerLength < VELP2P_HEADER_FIXED_SIZE)
    return Fault::kHeaderLength;
  if (fields.totalLength < fields.headerLength)
    return Fault::kBelowHeader;

  // The group path is read through a reader that ends where the payload starts.
  VELByteReader header(block, fields.headerLength);
  if (fields.groupOffset < VELP2P_HEADER_FIXED_SIZE || !header.Seek(fields.groupOffset) ||
      !header.ReadBytes(fields.groupLength, fields.group)) {
    return Fault::kGroupOutside;
  }
  if (!std::memchr(service, 0, kNameField))
    return Fault::kServiceUnterminated;
  fields.serviceName = reinterpret_cast<const char*>(service);
  if (!std::memchr(sender, 0, kNameField))
    return Fault::kSenderUnterminated;
  fields.senderName = reinterpret_cast<const char*>(sender);
  return Fault::kNone;
}

bool VELP2PHeaderFields::Read(const uint8_t* block, size_t size, VELP2PHeaderFields& fields) {
  VELP2PHeaderFields read;
  if (Check(block, size, read) != Fault::kNone)
    return false;
  fields = read;
  return true;
}

uint32_t VELP2PHeaderFields::MsgGrpId() const {
  const bool last = (mode & VELP2P_MESSAGE_GROUP_END) != 0 &&
                    (mode & (VELP2P_MESSAGE_GROUP_BEGIN | VELP2P_MESSAGE_GROUP_MIDDLE)) == 0;
  return VELP2PLoadU32BE(fixedPart + (last ? offsetof(VELP2PHeaderFixedPart, senderAddress)
                                           : offsetof(VELP2PHeaderFixedPart, otherAddress)));
}

uint32_t VELP2PHeaderFields::AnnouncedTotal() const {
  return VELP2PLoadU32BE(fixedPart + offsetof(VELP2PHeaderFixedPart, senderPort));
}
