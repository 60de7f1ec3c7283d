#include "wire/VELP2PHeaderFields.h"

#include <cstring>

#include "velp2p/VELP2PHeader.h"
#include "wire/VELByteReader.h"

namespace {

const size_t kNameField = 32;

}  // namespace

bool VELP2PHeaderFields::Read(const uint8_t* block, size_t size, VELP2PHeaderFields& fields) {
  VELByteReader reader(block, size);
  VELP2PHeaderFields read{};
  const uint8_t* service = nullptr;
  const uint8_t* sender = nullptr;
  // The address and port fields are not checked: any value is a valid one.
  if (!reader.ReadU32BE(read.totalLength) || !reader.ReadU16BE(read.headerLength) ||
      !reader.ReadU8(read.version) || !reader.ReadU8(read.mode) || !reader.ReadU16BE(read.groupOffset) ||
      !reader.ReadU16BE(read.groupLength) || !reader.ReadBytes(kNameField, service) ||
      !reader.ReadBytes(kNameField, sender) || !reader.Skip(12)) {
    return false;
  }
  if (read.totalLength > size)
    return false;
  if (read.headerLength < VELP2P_HEADER_FIXED_SIZE || read.totalLength < read.headerLength)
    return false;
  if (read.groupOffset < VELP2P_HEADER_FIXED_SIZE)
    return false;

  // The group path is read through a reader that ends where the payload starts.
  VELByteReader header(block, read.headerLength);
  if (!header.Seek(read.groupOffset) || !header.ReadBytes(read.groupLength, read.group))
    return false;

  if (!std::memchr(service, 0, kNameField) || !std::memchr(sender, 0, kNameField))
    return false;
  read.serviceName = reinterpret_cast<const char*>(service);
  read.senderName = reinterpret_cast<const char*>(sender);
  fields = read;
  return true;
}
