// A growing byte buffer for the payloads the peers send: the one place where fields get their byte order.
#ifndef VELP2P_WIRE_VELBYTEWRITER_H
#define VELP2P_WIRE_VELBYTEWRITER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "velp2p/VELP2PTypes.h"

class VELByteWriter {
 public:
  VELByteWriter& U8(uint8_t value) {
    _bytes.push_back(static_cast<char>(value));
    return *this;
  }
  VELByteWriter& U16BE(uint16_t value) {
    return U8(static_cast<uint8_t>(value >> 8)).U8(static_cast<uint8_t>(value));
  }
  VELByteWriter& U32LE(uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
      U8(static_cast<uint8_t>(value >> shift));
    return *this;
  }
  VELByteWriter& Bytes(const void* bytes, size_t count) {
    const char* first = static_cast<const char*>(bytes);
    if (count > 0)
      _bytes.insert(_bytes.end(), first, first + count);
    return *this;
  }
  // Endpoint records travel as the 8 bytes they hold, never converted.
  VELByteWriter& Records(const std::vector<const VELP2PEndPointInfo*>& records) {
    for (const VELP2PEndPointInfo* record : records)
      Bytes(record, sizeof(VELP2PEndPointInfo));
    return *this;
  }

  std::vector<char> Take() { return std::move(_bytes); }

 private:
  std::vector<char> _bytes;
};

#endif
