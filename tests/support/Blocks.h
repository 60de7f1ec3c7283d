// Wire blocks built for tests: whole messages from given sender fields, the fragments a sender cuts, and
// payloads that carry endpoint records.
#ifndef VELP2P_TESTS_SUPPORT_BLOCKS_H
#define VELP2P_TESTS_SUPPORT_BLOCKS_H

#include <cstdint>
#include <string>
#include <vector>

#include "velp2p/VELP2PTypes.h"

// Record fields hold bytes as they lie; these turn the bytes into the values that carry them.
uint32_t RawAddress(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);
uint16_t RawPort(uint8_t b0, uint8_t b1);

// The sender fields of a block; the defaults give tests/golden/header_multicast.hex with payload
// "0123456789": alice's multicast endpoint 224.0.1.85:2678 sends, her TCP endpoint 10.0.0.7:40000 answers.
struct BlockFields {
  std::string group = "/";
  std::string service = "StatusService";
  std::string sender = "alice";
  uint32_t senderAddress = RawAddress(85, 1, 0, 224);
  uint16_t senderPort = RawPort(0x0A, 0x76);
  uint32_t otherAddress = RawAddress(10, 0, 0, 7);
  uint16_t otherPort = RawPort(0x9C, 0x40);
  int mode = 1;  // 0 unicast, 1 multicast
};

// The block VELP2PHeader::Build makes; empty when it refuses.
std::vector<char> BuildBlock(const BlockFields& fields, const std::string& payload);

// The fragments of payload cut in 500-byte pieces under group identifier grpId, in sending order.
std::vector<std::vector<char>> SplitBlocks(const BlockFields& fields, const std::string& payload,
                                           uint32_t grpId);

// The awareness announcement and the peer-records message carrying the given endpoint records.
std::vector<char> Announcement(char kind, int32_t processId, const std::vector<VELP2PEndPointInfo>& records);
std::vector<char> PeerMessage(char command, const std::vector<VELP2PEndPointInfo>& records);

// A payload whose every byte depends on its position and on seed, so that misplaced pieces show.
std::string PatternPayload(int length, int seed = 0);

#endif
