// Helpers shared by the wire and transport tests: the golden block, record values from bytes, and blocks
// built without a peer.
#ifndef VELP2P_TESTS_UNIT_WIRETESTSUPPORT_H
#define VELP2P_TESTS_UNIT_WIRETESTSUPPORT_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/TraceCapture.h"
#include "velp2p/VELP2PHeader.h"

namespace wiretest {

// A multicast message from "alice" to the group "/" for "StatusService", carrying 10 payload bytes; alice's
// multicast endpoint is 224.0.1.85:2678, her TCP endpoint 10.0.0.7:40000.
const unsigned char kGoldenMulticast[99] = {
    0x00, 0x00, 0x00, 0x63,  // totalLength 99
    0x00, 0x59,              // headerLength 89
    0x01,                    // version
    0x12,                    // mode: whole message, multicast
    0x00, 0x58,              // groupOffset 88
    0x00, 0x01,              // groupLength 1
    // serviceName "StatusService", zero-padded to 32 bytes
    'S', 't', 'a', 't', 'u', 's', 'S', 'e', 'r', 'v', 'i', 'c', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0,
    // senderName "alice", zero-padded to 32 bytes
    'a', 'l', 'i', 'c', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    85, 1, 0, 224,  // senderAddress: the multicast record's reversed address bytes, unchanged
    10, 0, 0, 7,    // otherAddress: the TCP record's address bytes, unchanged
    0x0A, 0x76,     // senderPort 2678
    0x9C, 0x40,     // otherPort 40000
    '/',            // group path
    '0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};  // payload

inline std::vector<char> GoldenMulticastBlock() {
  return std::vector<char>(kGoldenMulticast, kGoldenMulticast + sizeof(kGoldenMulticast));
}

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

// The fields of a block built without a local peer; the defaults give the golden block.
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
