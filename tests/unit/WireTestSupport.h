// Helpers shared by the wire and transport tests: trace capture, record values from bytes, and blocks built
// without a peer.
#ifndef VELP2P_TESTS_UNIT_WIRETESTSUPPORT_H
#define VELP2P_TESTS_UNIT_WIRETESTSUPPORT_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/TraceCapture.h"
#include "velp2p/VELP2PHeader.h"

namespace wiretest {

// The shared trace capture, with a shorthand for lines expected at least once.
class TraceCapture : public ::TraceCapture {
 public:
  bool Has(const std::string& line) const { return Count(line) > 0; }
};

// Record fields hold bytes as they lie; these turn the bytes into the values that carry them.
inline uint32_t RawAddress(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  const uint8_t bytes[4] = {b0, b1, b2, b3};
  uint32_t value;
  std::memcpy(&value, bytes, 4);
  return value;
}

inline uint16_t RawPort(uint8_t b0, uint8_t b1) {
  const uint8_t bytes[2] = {b0, b1};
  uint16_t value;
  std::memcpy(&value, bytes, 2);
  return value;
}

// The fields of a block built without a local peer.
struct BlockSpec {
  std::string group = "/";
  std::string service = "StatusService";
  std::string sender = "alice";
  uint32_t senderAddress = RawAddress(85, 1, 0, 224);
  uint16_t senderPort = RawPort(0x0A, 0x76);
  uint32_t otherAddress = RawAddress(10, 0, 0, 7);
  uint16_t otherPort = RawPort(0x9C, 0x40);
  int mode = 1;
};

// The bytes of a block built by VELP2PHeader::Build; empty when the build was refused.
inline std::vector<char> BuildBlock(const BlockSpec& layout, const std::string& payload) {
  VELP2PHeader header;
  static const char kEmpty = 0;
  if (VEL_FAILED(header.Build(VELUnicodeString(layout.group), layout.service.c_str(), layout.sender.c_str(),
                              layout.senderAddress, layout.senderPort, layout.otherAddress, layout.otherPort,
                              payload.empty() ? &kEmpty : payload.data(), static_cast<int>(payload.size()),
                              layout.mode))) {
    return {};
  }
  char* bytes = nullptr;
  int length = 0;
  if (VEL_FAILED(header.GetBuffer(bytes, length)))
    return {};
  return std::vector<char>(bytes, bytes + length);
}

// A payload whose every byte depends on its position and on seed, so that misplaced pieces show.
inline std::string PatternPayload(int length, int seed = 0) {
  std::string payload(static_cast<size_t>(length), '\0');
  for (int i = 0; i < length; ++i)
    payload[i] = static_cast<char>((i * 7 + seed * 13 + i / 251) & 0xFF);
  return payload;
}

}  // namespace wiretest

#endif
