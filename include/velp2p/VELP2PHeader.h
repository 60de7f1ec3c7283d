// The wire block of every message: an 88-byte fixed part, the message group path and a service payload.
#ifndef VELP2P_VELP2PHEADER_H
#define VELP2P_VELP2PHEADER_H

#include <cstdint>
#include <memory>

#include "velp2p/VELResult.h"
#include "velp2p/VELUnicodeString.h"

// The fixed part exactly as it lies on the wire. Multi-byte lengths and offsets are in network order; the
// address and port fields are copied unchanged from endpoint records, so they are whatever order those use.
// Fragments reuse bytes 76 to 87 for their group identifier and announced total.
#pragma pack(push, 1)
struct VELP2PHeaderFixedPart {
  uint32_t totalLength;    // the whole block: fixed part, group path and payload
  uint16_t headerLength;   // fixed part and group path: where the payload starts
  uint8_t version;         // 1 when built
  uint8_t mode;            // VELP2P_MESSAGE_* bits
  uint16_t groupOffset;    // where the group path starts, 88 when built
  uint16_t groupLength;    // group path bytes, no terminator
  char serviceName[32];    // zero-terminated, zero-padded
  char senderName[32];     // zero-terminated, zero-padded
  uint32_t senderAddress;  // address bytes of the sending endpoint's record
  uint32_t otherAddress;   // address bytes of the sender's first endpoint of the other kind, or 0
  uint16_t senderPort;     // port bytes of the sending endpoint's record
  uint16_t otherPort;      // port bytes of that other endpoint, or 0
};
#pragma pack(pop)
static_assert(sizeof(VELP2PHeaderFixedPart) == 88, "the fixed part of the wire header is 88 bytes");

#define VELP2P_HEADER_FIXED_SIZE 88
// Longest service or peer name: both travel zero-terminated in 32 bytes.
#define VELP2P_HEADER_MAX_NAME 31

// A header either builds a block that it owns, or reads a received block in place that the caller keeps alive
// for the header's lifetime; never both, and each only once.
class VELP2PHeader {
 public:
  VELP2PHeader();
  virtual ~VELP2PHeader();
  // A built header owns its bytes; copying it would free them twice.
  VELP2PHeader(const VELP2PHeader&) = delete;
  VELP2PHeader& operator=(const VELP2PHeader&) = delete;

  // Builds a message from the local peer: its name travels as the sender, and its first endpoint of the other
  // kind (unicast for mode 1, multicast for mode 0) as otherAddress/otherPort. Defined with the peer, which
  // knows both; Build is the block layout itself. mode is 0 (unicast) or 1
  // (multicast). senderAddress and senderPort are the sending endpoint's record values, stored unchanged.
  [[nodiscard]] VELResult Initialize(VELUnicodeString& group, const char* serviceName,
                                     unsigned int senderAddress, unsigned short senderPort, char* data,
                                     int length, int mode);
  // The same with every sender field given, for callers (and tests) without a local peer. Refuses, changing
  // nothing: a header already built or parsed, null names or data, names over 31 bytes, a group path longer
  // than 65535 - 88 bytes, a negative length, a block longer than the largest int, and modes other than 0
  // and 1.
  [[nodiscard]] VELResult Build(const VELUnicodeString& group, const char* serviceName,
                                const char* senderName, unsigned int senderAddress, unsigned short senderPort,
                                unsigned int otherAddress, unsigned short otherPort, const char* data,
                                int length, int mode);
  // Reads a received block of receivedBytes bytes in place after checking it completely: the fixed part is
  // there, totalLength fits what was received, headerLength lies between 88 and totalLength, the group path
  // lies between the fixed part and the payload, and both name fields are terminated inside their 32 bytes.
  // The version and mode bytes are left to the caller. On refusal nothing is changed.
  [[nodiscard]] VELResult Initialize(VELP2PHeaderFixedPart* block, int receivedBytes);

  // The bytes of a built header, still owned by it; fails when nothing was built.
  [[nodiscard]] VELResult GetBuffer(char*& buffer, int& length);

  // The fixed part read or built, or null.
  VELP2PHeaderFixedPart* GetFixedPart() const { return _fixedPart; }
  const VELUnicodeString& GetMessageGroup() const { return _messageGroup; }
  // The group as the dispatch hands it to group filters, which may change it for the rest of the dispatch.
  VELUnicodeString& GetMessageGroup() { return _messageGroup; }
  const VELUnicodeString& GetSendingPeerName() const { return _sendingPeerName; }
  // The target service, zero-terminated; null without fixed part.
  const char* GetServiceName() const { return _fixedPart ? _fixedPart->serviceName : nullptr; }
  // The mode and version bytes, 0 without fixed part.
  int GetMode() const { return _fixedPart ? _fixedPart->mode : 0; }
  int GetVersion() const { return _fixedPart ? _fixedPart->version : 0; }
  int GetPayloadLength() const { return _payloadLength; }
  // The first payload byte inside the block (not owned), or null.
  char* GetPayload() const { return _payload; }

 private:
  VELP2PHeaderFixedPart* _fixedPart;  // start of the block, built or received
  std::unique_ptr<char[]> _buffer;    // the block when this header built it
  char* _rawMessage;                  // the received block that a parsing header reads, not owned
  int _bufferLength;                  // length of the built block
  VELUnicodeString _messageGroup;
  VELUnicodeString _sendingPeerName;
  int _payloadLength;
  char* _payload;  // inside the block, not owned
};

#endif
