// The fields of a received wire block, read and checked against the number of bytes received.
#ifndef VELP2P_WIRE_VELP2PHEADERFIELDS_H
#define VELP2P_WIRE_VELP2PHEADERFIELDS_H

#include <cstddef>
#include <cstdint>
#include <string>

// Shared by the header parser and the reassembler, so that a fragment is held to the same rules as a whole
// message before any of its lengths is used, and by the console's spy, which tells why a block is refused.
// Pointers designate bytes inside the checked block.
struct VELP2PHeaderFields {
  uint32_t totalLength;
  uint16_t headerLength;
  uint8_t version;
  uint8_t mode;
  uint16_t groupOffset;
  uint16_t groupLength;
  const char* serviceName;   // terminated inside its 32 bytes
  const char* senderName;    // terminated inside its 32 bytes
  const uint8_t* group;      // groupLength bytes between the fixed part and the payload
  const uint8_t* fixedPart;  // the block's first 88 bytes, laid out as VELP2PHeaderFixedPart

  // The first rule a block breaks, in the order they are checked.
  enum class Fault {
    kNone,
    kShort,                // fewer bytes than the fixed part
    kBeyondReceived,       // totalLength above the bytes received
    kHeaderLength,         // headerLength below 88
    kBelowHeader,          // totalLength below headerLength
    kGroupOutside,         // the group path starts in the fixed part or ends past the header
    kServiceUnterminated,  // no zero byte in the serviceName field
    kSenderUnterminated,   // no zero byte in the senderName field
  };

  // Reads a block of size bytes. The numbers and fixedPart are filled once the fixed part is there, the group
  // once the lengths and offsets hold, the names once they are terminated: a refused block is described as
  // far as it goes. totalLength <= size, 88 <= headerLength <= totalLength, 88 <= groupOffset and
  // groupOffset + groupLength <= headerLength must hold: the group path is kept out of the fixed part and out
  // of the payload, since builders always put it right after the fixed part and a path overlapping either
  // would make the block say two things about the same bytes.
  static Fault Check(const uint8_t* block, size_t size, VELP2PHeaderFields& fields);
  // Fills fields only when Check finds nothing wrong.
  static bool Read(const uint8_t* block, size_t size, VELP2PHeaderFields& fields);

  // The sender name as text, without its terminator and padding.
  std::string SenderName() const { return std::string(senderName); }
  // A fragment's group identifier: bytes 76 to 79 in the last fragment, where the first and middle ones
  // keep senderAddress, and bytes 80 to 83 in the others.
  uint32_t MsgGrpId() const;
  // The payload length of the whole split message, which the first fragment announces in bytes 84 to 87.
  uint32_t AnnouncedTotal() const;
};

#endif
