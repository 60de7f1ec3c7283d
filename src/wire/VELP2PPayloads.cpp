#include "wire/VELP2PPayloads.h"

#include <cstring>

#include "velp2p/VELP2PHeader.h"
#include "wire/VELByteReader.h"
#include "wire/VELByteWriter.h"

namespace {

VELByteReader ReaderOf(const char* data, size_t size) {
  return VELByteReader(reinterpret_cast<const uint8_t*>(data), size);
}

// A 32-bit count of bytes that must follow: false when negative, beyond what is left, or when it reads the
// count's own bytes short. Leaves bytes on what follows.
bool ReadCounted(VELByteReader& reader, int32_t& count, const char*& bytes) {
  uint32_t bits = 0;
  if (!reader.ReadU32LE(bits))
    return false;
  count = static_cast<int32_t>(bits);
  const uint8_t* at = nullptr;
  if (count < 0 || !reader.ReadBytes(static_cast<size_t>(count), at))
    return false;
  bytes = reinterpret_cast<const char*>(at);
  return true;
}

const char* Rest(VELByteReader& reader, const char* data, int& bytes) {
  bytes = static_cast<int>(reader.Remaining());
  return data + reader.Offset();
}

// A tag byte, a 32-bit value and counted bytes, all little-endian: the shape of status and session payloads.
std::vector<char> WriteTagged(uint8_t tag, int32_t value, const std::string& bytes) {
  VELByteWriter writer;
  writer.U8(tag).U32LE(static_cast<uint32_t>(value)).U32LE(static_cast<uint32_t>(bytes.size()));
  return writer.Bytes(bytes.data(), bytes.size()).Take();
}

bool ReadTagged(const char* data, size_t size, uint8_t& tag, int32_t& value, const char*& bytes, int& count) {
  VELByteReader reader = ReaderOf(data, size);
  uint32_t bits = 0;
  if (!reader.ReadU8(tag) || !reader.ReadU32LE(bits))
    return false;
  value = static_cast<int32_t>(bits);
  return ReadCounted(reader, count, bytes);
}

}  // namespace

std::vector<char> VELP2PWriteAnnouncement(uint8_t kind, int32_t processId,
                                          const std::vector<const VELP2PEndPointInfo*>& records) {
  VELByteWriter writer;
  writer.U8(kind).U16BE(static_cast<uint16_t>(records.size())).U32LE(static_cast<uint32_t>(processId));
  return writer.Records(records).Take();
}

bool VELP2PReadAnnouncement(const char* data, size_t size, VELP2PAnnouncement& out) {
  VELByteReader reader = ReaderOf(data, size);
  uint32_t processId = 0;
  if (!reader.ReadU8(out.kind) || !reader.ReadU16BE(out.count) || !reader.ReadU32LE(processId))
    return false;
  out.processId = static_cast<int32_t>(processId);
  out.records = Rest(reader, data, out.recordBytes);
  return true;
}

std::vector<char> VELP2PWritePeerRecords(uint8_t command,
                                         const std::vector<const VELP2PEndPointInfo*>& records) {
  VELByteWriter writer;
  writer.U8(command).U16BE(static_cast<uint16_t>(records.size())).Records(records);
  return writer.U32LE(0).Take();
}

bool VELP2PReadPeerRecords(const char* data, size_t size, VELP2PPeerRecords& out) {
  VELByteReader reader = ReaderOf(data, size);
  if (!reader.ReadU8(out.command) || !reader.ReadU16BE(out.count))
    return false;
  out.records = Rest(reader, data, out.recordBytes);
  return true;
}

int VELP2PMaxStatusDescriptionBytes() {
  // The fixed header, one group byte, then kind, status and the description's count.
  return VELP2P_MULTICAST_MAX_BLOCK - VELP2P_HEADER_FIXED_SIZE - 1 - (1 + 4 + 4);
}

std::vector<char> VELP2PWriteStatus(uint8_t kind, int32_t status, const std::string& desc) {
  return WriteTagged(kind, status, desc.empty() ? std::string(1, '\0') : desc);
}

bool VELP2PReadStatus(const char* data, size_t size, VELP2PStatusPayload& out) {
  if (!ReadTagged(data, size, out.kind, out.status, out.desc, out.descBytes) || out.descBytes == 0)
    return false;
  if (out.descBytes == 1 && out.desc[0] == '\0') {
    out.desc = nullptr;
    out.descBytes = 0;
  }
  return true;
}

std::vector<char> VELP2PWriteChat(uint8_t type, const std::string& header, const char* data, int dataBytes) {
  VELByteWriter writer;
  writer.U8(type).U32LE(static_cast<uint32_t>(header.size())).Bytes(header.data(), header.size());
  return writer.Bytes(data, dataBytes > 0 ? static_cast<size_t>(dataBytes) : 0).Take();
}

bool VELP2PReadChat(const char* data, size_t size, VELP2PChatPayload& out) {
  VELByteReader reader = ReaderOf(data, size);
  if (!reader.ReadU8(out.type) || !ReadCounted(reader, out.headerBytes, out.header))
    return false;
  out.data = Rest(reader, data, out.dataBytes);
  return true;
}

std::vector<char> VELP2PWriteSession(uint8_t event, int32_t sessionType, const std::string& name) {
  return WriteTagged(event, sessionType, name);
}

bool VELP2PReadSession(const char* data, size_t size, VELP2PSessionPayload& out) {
  return ReadTagged(data, size, out.event, out.sessionType, out.name, out.nameBytes) && out.nameBytes > 0;
}

std::vector<char> VELP2PWriteGroupComponent(const std::string& component) {
  VELByteWriter writer;
  // Like any text the peers compare, the component ends at its first zero byte.
  return writer.Bytes(component.c_str(), std::strlen(component.c_str()) + 1).Take();
}

bool VELP2PReadGroupComponent(const char* data, size_t size, std::string& component) {
  const void* terminator = data && size > 0 ? std::memchr(data, 0, size) : nullptr;
  if (!terminator)
    return false;
  component.assign(data, static_cast<size_t>(static_cast<const char*>(terminator) - data));
  return true;
}
