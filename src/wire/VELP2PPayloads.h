// The payloads the library's services exchange: each has one writer and one bounded reader, so that a layout
// is written down in one place. A reader takes the bytes received, checks every length against them and fills
// a view that points into them; trailing bytes after what a layout needs are tolerated, as peers send them.
#ifndef VELP2P_WIRE_VELP2PPAYLOADS_H
#define VELP2P_WIRE_VELP2PPAYLOADS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "velp2p/VELP2PTypes.h"

// Awareness announcement: kind, record count (16 bits, network order), the sender's process id (32 bits,
// little-endian), then the endpoint records.
struct VELP2PAnnouncement {
  uint8_t kind = 0;
  uint16_t count = 0;
  int32_t processId = 0;
  const char* records = nullptr;  // the bytes after the fixed part, which the count describes
  int recordBytes = 0;
};
std::vector<char> VELP2PWriteAnnouncement(uint8_t kind, int32_t processId,
                                          const std::vector<const VELP2PEndPointInfo*>& records);
bool VELP2PReadAnnouncement(const char* data, size_t size, VELP2PAnnouncement& out);

// Peer message (presence in a group, and the discovery request and answer): command, record count (16 bits,
// network order), the endpoint records, then four zero bytes that receivers skip.
struct VELP2PPeerRecords {
  uint8_t command = 0;
  uint16_t count = 0;
  const char* records = nullptr;  // the bytes after the fixed part, trailing ones included
  int recordBytes = 0;
};
std::vector<char> VELP2PWritePeerRecords(uint8_t command,
                                         const std::vector<const VELP2PEndPointInfo*>& records);
bool VELP2PReadPeerRecords(const char* data, size_t size, VELP2PPeerRecords& out);

// Status: kind, status (32 bits, little-endian), the description's byte count (32 bits, little-endian), then
// its UTF-8 bytes. An empty description travels as one zero byte and a count of 0 is refused.
struct VELP2PStatusPayload {
  uint8_t kind = 0;
  int32_t status = 0;
  const char* desc = nullptr;  // empty description: null with descBytes 0
  int descBytes = 0;
};
constexpr uint8_t kVELP2PStatusChange = '0';  // multicast by the peer whose status changed
constexpr uint8_t kVELP2PStatusUpdate = '1';  // the current status, sent to a newcomer
constexpr uint8_t kVELP2PStatusBirth = '2';
// The most description bytes whose status payload still fits one multicast block to the group "/".
int VELP2PMaxStatusDescriptionBytes();
std::vector<char> VELP2PWriteStatus(uint8_t kind, int32_t status, const std::string& desc);
bool VELP2PReadStatus(const char* data, size_t size, VELP2PStatusPayload& out);

// Application message: type, the header's byte count (32 bits, little-endian), the header's UTF-8 bytes, then
// the data up to the end.
struct VELP2PChatPayload {
  uint8_t type = 0;
  const char* header = nullptr;
  int headerBytes = 0;
  const char* data = nullptr;
  int dataBytes = 0;
};
std::vector<char> VELP2PWriteChat(uint8_t type, const std::string& header, const char* data, int dataBytes);
bool VELP2PReadChat(const char* data, size_t size, VELP2PChatPayload& out);

// Session event: event, session type (32 bits, little-endian), the name's byte count (32 bits, little-endian,
// at least 1), then the name's UTF-8 bytes.
struct VELP2PSessionPayload {
  uint8_t event = 0;
  int32_t sessionType = 0;
  const char* name = nullptr;
  int nameBytes = 0;
};
std::vector<char> VELP2PWriteSession(uint8_t event, int32_t sessionType, const std::string& name);
bool VELP2PReadSession(const char* data, size_t size, VELP2PSessionPayload& out);

// Group publication: one group name component and its zero byte.
std::vector<char> VELP2PWriteGroupComponent(const std::string& component);
bool VELP2PReadGroupComponent(const char* data, size_t size, std::string& component);

#endif
