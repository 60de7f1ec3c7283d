// One fragment group in progress: the reassembly buffer and what the group's first fragment announced.
#ifndef VELP2P_WIRE_VELP2PBUFFERHOLDER_H
#define VELP2P_WIRE_VELP2PBUFFERHOLDER_H

#include <cstdint>
#include <memory>
#include <string>

// The buffer is allocated once with the announced capacity and pieces are appended at offset filled, which
// is also the write position: a piece is only copied after it is known to fit.
struct VELP2PBufferHolder {
  std::unique_ptr<char[]> buffer;  // capacity bytes, zeroed; handed to the caller when the group completes
  uint32_t msgGrpId;               // the group identifier, as the sender wrote it
  uint32_t senderAddress;          // bytes 76 to 79 of the first fragment, unchanged
  int capacity;                    // announced total payload plus the first fragment's headerLength
  int filled;                      // bytes of buffer written so far
  uint8_t kind;                    // transport bits (unicast, multicast) of the first fragment's mode
  std::string serviceName;         // service of the first fragment; later fragments must name the same
  uint64_t arrival;                // creation order among all groups of the reassembler, oldest lowest
};

#endif
