// The fields of a received wire block, read and checked against the number of bytes received.
#ifndef VELP2P_WIRE_VELP2PHEADERFIELDS_H
#define VELP2P_WIRE_VELP2PHEADERFIELDS_H

#include <cstddef>
#include <cstdint>
#include <string>

// Shared by the header parser and the reassembler, so that a fragment is held to the same rules as a whole
// message before any of its lengths is used. Pointers designate bytes inside the checked block.
struct VELP2PHeaderFields {
  uint32_t totalLength;
  uint16_t headerLength;
  uint8_t version;
  uint8_t mode;
  uint16_t groupOffset;
  uint16_t groupLength;
  const char* serviceName;  // terminated inside its 32 bytes
  const char* senderName;   // terminated inside its 32 bytes
  const uint8_t* group;     // groupLength bytes between the fixed part and the payload

  // Fills fields when the block holds the fixed part, totalLength <= size, 88 <= headerLength <= totalLength,
  // 88 <= groupOffset and groupOffset + groupLength <= headerLength, and both names are terminated. The group
  // path is kept out of the fixed part and out of the payload: builders always put it right after the fixed
  // part, and a path overlapping either would make the block say two things about the same bytes.
  static bool Read(const uint8_t* block, size_t size, VELP2PHeaderFields& fields);

  // The sender name as text, without its terminator and padding.
  std::string SenderName() const { return std::string(senderName); }
};

#endif
