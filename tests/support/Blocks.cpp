#include "support/Blocks.h"

#include <cstring>

#include "velp2p/VELP2PHeader.h"
#include "wire/VELP2PFragmenter.h"
#include "wire/VELP2PPayloads.h"

static std::vector<const VELP2PEndPointInfo*> Pointers(const std::vector<VELP2PEndPointInfo>& records) {
  std::vector<const VELP2PEndPointInfo*> pointers;
  for (const VELP2PEndPointInfo& record : records)
    pointers.push_back(&record);
  return pointers;
}

uint32_t RawAddress(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  const uint8_t bytes[4] = {b0, b1, b2, b3};
  uint32_t value;
  std::memcpy(&value, bytes, 4);
  return value;
}

uint16_t RawPort(uint8_t b0, uint8_t b1) {
  const uint8_t bytes[2] = {b0, b1};
  uint16_t value;
  std::memcpy(&value, bytes, 2);
  return value;
}

std::vector<char> BuildBlock(const BlockFields& fields, const std::string& payload) {
  VELP2PHeader header;
  static const char kEmpty = 0;
  char* bytes = nullptr;
  int length = 0;
  if (VEL_FAILED(header.Build(VELUnicodeString(fields.group), fields.service.c_str(), fields.sender.c_str(),
                              fields.senderAddress, fields.senderPort, fields.otherAddress, fields.otherPort,
                              payload.empty() ? &kEmpty : payload.data(), static_cast<int>(payload.size()),
                              fields.mode)) ||
      VEL_FAILED(header.GetBuffer(bytes, length))) {
    return {};
  }
  return std::vector<char>(bytes, bytes + length);
}

std::vector<std::vector<char>> SplitBlocks(const BlockFields& fields, const std::string& payload,
                                           uint32_t grpId) {
  std::vector<std::vector<char>> blocks;
  for (const VELP2PFragmentPiece& piece : VELP2PPlanFragments(static_cast<int>(payload.size()), 500)) {
    std::vector<char> block = BuildBlock(fields, payload.substr(piece.offset, piece.length));
    if (VEL_FAILED(VELP2PMarkFragment(block.data(), static_cast<int>(block.size()), piece.kind, grpId,
                                      static_cast<uint32_t>(payload.size())))) {
      return {};
    }
    blocks.push_back(block);
  }
  return blocks;
}

std::string PatternPayload(int length, int seed) {
  std::string payload(static_cast<size_t>(length), '\0');
  for (int i = 0; i < length; ++i)
    payload[i] = static_cast<char>((i * 7 + seed * 13 + i / 251) & 0xFF);
  return payload;
}

std::vector<char> Announcement(char kind, int32_t processId, const std::vector<VELP2PEndPointInfo>& records) {
  return VELP2PWriteAnnouncement(kind, processId, Pointers(records));
}

std::vector<char> PeerMessage(char command, const std::vector<VELP2PEndPointInfo>& records) {
  return VELP2PWritePeerRecords(command, Pointers(records));
}
