#include "transport/VELP2PEndPointRecord.h"

#include <cstring>

#include "wire/VELByteOrder.h"

namespace {

bool ValidPort(int port) {
  return port >= 0 && port <= 0xFFFF;
}

void FillRecord(VELP2PEndPointInfo& record, int kind, int port, const uint8_t address[4]) {
  record.length = sizeof(VELP2PEndPointInfo);
  record.kind = static_cast<uint8_t>(kind);
  VELP2PStoreU16BE(&record.port, static_cast<uint16_t>(port));
  std::memcpy(&record.address, address, 4);
}

}  // namespace

bool VELP2PParseDottedAddress(const char* text, uint8_t bytes[4]) {
  if (!text)
    return false;
  uint8_t parsed[4];
  const char* at = text;
  for (int component = 0; component < 4; ++component) {
    if (component > 0) {
      if (*at != '.')
        return false;
      ++at;
    }
    int digits = 0;
    int value = 0;
    while (*at >= '0' && *at <= '9' && digits < 4) {
      value = value * 10 + (*at - '0');
      ++digits;
      ++at;
    }
    // A leading zero reads as octal to some parsers; such a text is refused rather than guessed at.
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && at[-digits] == '0'))
      return false;
    parsed[component] = static_cast<uint8_t>(value);
  }
  if (*at != '\0')
    return false;
  if (parsed[0] == 255 && parsed[1] == 255 && parsed[2] == 255 && parsed[3] == 255)
    return false;
  std::memcpy(bytes, parsed, 4);
  return true;
}

VELResult VELP2PMakeUnicastRecord(const char* address, int port, VELP2PEndPointInfo& record) {
  uint8_t bytes[4];
  if (!ValidPort(port) || !VELP2PParseDottedAddress(address, bytes))
    return VEL_E_FAIL;
  FillRecord(record, VELP2P_ENDPOINT_UNICAST, port, bytes);
  return VEL_S_OK;
}

VELResult VELP2PMakeReversedRecord(const char* address, int port, int kind, VELP2PEndPointInfo& record) {
  uint8_t bytes[4];
  if (!ValidPort(port) || !VELP2PParseDottedAddress(address, bytes))
    return VEL_E_FAIL;
  const uint8_t reversed[4] = {bytes[3], bytes[2], bytes[1], bytes[0]};
  FillRecord(record, kind, port, reversed);
  return VEL_S_OK;
}

unsigned short VELP2PRecordPort(const VELP2PEndPointInfo& record) {
  return VELP2PLoadU16BE(&record.port);
}
