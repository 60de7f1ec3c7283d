// The bytes of a connection that carries many blocks, as both sides read them. The first input byte chooses
// how the bytes are cut (and whether long blocks are received straight into their memory), the second how
// many blocks the sender has written; the rest is read both as a stream of blocks after the hello and as the
// acknowledgements that come back. The blocks handed on must be exactly the whole, well-framed ones at the
// front of the bytes, the memory budget must come back to nothing, and acknowledgements may never count more
// than was written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/VELSockets.h"
#include "transport/VELTCPStreamFraming.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

uint32_t LengthAt(const uint8_t* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

// The whole blocks at the front of the bytes, and whether a length outside 4 to the maximum stops them.
std::vector<std::vector<char>> Expected(const uint8_t* bytes, size_t size, bool& malformed) {
  std::vector<std::vector<char>> blocks;
  malformed = false;
  for (size_t at = 0; size - at >= 4;) {
    const uint32_t length = LengthAt(bytes + at);
    if (length < 4 || length > static_cast<uint32_t>(VELSockets::kMaxBlockBytes)) {
      malformed = true;
      break;
    }
    if (size - at < length)
      break;
    blocks.emplace_back(bytes + at, bytes + at + length);
    at += length;
  }
  return blocks;
}

void Split(const uint8_t* bytes, size_t size, size_t cut, bool straight) {
  bool malformed = false;
  const std::vector<std::vector<char>> expected = Expected(bytes, size, malformed);
  std::vector<std::vector<char>> blocks;
  // Small enough that some long blocks are taken at their length and others grow with their bytes.
  VELTCPBlockSplitter::Budget budget{0, 4096};
  {
    VELTCPBlockSplitter splitter(&budget, VELSockets::kMaxBlockBytes);
    const VELTCPBlockSplitter::Sink sink = [&](VELBlockBytes block, int length) {
      Check(length >= 4 &&
            LengthAt(reinterpret_cast<const uint8_t*>(block.get())) == static_cast<uint32_t>(length));
      blocks.emplace_back(block.get(), block.get() + length);
    };
    bool failed = false;
    for (size_t at = 0; at < size && !failed;) {
      size_t room = 0;
      if (char* into = straight ? splitter.Straight(1, &room) : nullptr) {
        Check(room > 0);
        const size_t count = std::min({room, cut, size - at});
        std::memcpy(into, bytes + at, count);
        splitter.Filled(count, sink);
        at += count;
        continue;
      }
      const size_t count = std::min(cut, size - at);
      failed = !splitter.Take(reinterpret_cast<const char*>(bytes + at), count, sink);
      at += count;
      Check(budget.used <= budget.limit);
    }
    Check(failed == malformed);
    Check(blocks == expected);
  }
  Check(budget.used == 0);
}

void Acknowledge(const uint8_t* bytes, size_t size, size_t cut, uint32_t written) {
  VELTCPAckReader reader;
  uint32_t taken = 0;
  bool closed = false;
  for (size_t at = 0; at < size;) {
    const size_t count = std::min(cut, size - at);
    const VELTCPAckReader::Update update =
        reader.Read(reinterpret_cast<const char*>(bytes + at), count, written - taken);
    at += count;
    Check(update.taken <= written - taken);
    taken += update.taken;
    if (update.malformed)
      return;
    Check(!closed);
    closed = closed || update.closing;
  }
  Check(!reader.Heard() || size >= kVELTCPAckBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  const size_t cut = 1 + (data[0] & 0x7F) * 13;
  const bool straight = (data[0] & 0x80) != 0;
  const uint32_t written = data[1];
  data += 2;
  size -= 2;

  const VELTCPOpening opening = VELTCPReadOpening(reinterpret_cast<const char*>(data), size);
  const bool zero = size >= 4 && LengthAt(data) == 0;
  Check((opening == VELTCPOpening::kUndecided) == (size < 4 || (zero && size < kVELTCPHelloBytes)));
  Check((opening == VELTCPOpening::kBlock) == (size >= 4 && !zero));
  Check((opening == VELTCPOpening::kHello) == (zero && size >= kVELTCPHelloBytes && data[4] == 1));

  Split(data, size, cut, straight);
  Acknowledge(data, size, cut, written);
  return 0;
}
