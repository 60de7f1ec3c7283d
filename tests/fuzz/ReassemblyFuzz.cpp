// A sequence of fragments fed to one reassembler with small limits. The input is cut into blocks, each
// preceded by its length in two bytes (big-endian); whatever completes must read as a whole message, and
// the limits must hold after every block.
#include <cstdint>
#include <cstdlib>

#include "velp2p/VELP2PHeader.h"
#include "wire/VELP2PReassembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VELP2PReassembler::Limits limits;
  limits.maxTotal = 8192;
  limits.maxGroupsPerSender = 2;
  limits.maxGroups = 4;
  limits.maxBytes = 16384;
  VELP2PReassembler reassembler(limits);
  size_t at = 0;
  while (at + 2 <= size) {
    size_t length = (static_cast<size_t>(data[at]) << 8) | data[at + 1];
    at += 2;
    if (length > size - at)
      length = size - at;
    VELP2PBlock fragment =
        VELP2PBlock::Copy(reinterpret_cast<const char*>(data + at), static_cast<int>(length));
    at += length;
    VELP2PReassembler::Outcome outcome = reassembler.Take(fragment);
    if (outcome.completed) {
      VELP2PHeader header;
      if (outcome.dropped || VEL_FAILED(header.Initialize(
                                 reinterpret_cast<VELP2PHeaderFixedPart*>(outcome.completed.bytes.get()),
                                 outcome.completed.size))) {
        std::abort();
      }
    }
    if (reassembler.GetGroupCount() > limits.maxGroups || reassembler.GetHeldBytes() > limits.maxBytes)
      std::abort();
  }
  return 0;
}
