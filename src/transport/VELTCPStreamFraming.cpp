#include "transport/VELTCPStreamFraming.h"

#include <algorithm>
#include <cstring>

namespace {

// Growth step of a block's memory when it is not taken at its declared length.
constexpr size_t kGrowthBytes = 64 << 10;

uint32_t LoadU32BE(const unsigned char* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

}  // namespace

const char kVELTCPHello[kVELTCPHelloBytes] = {0, 0, 0, 0, static_cast<char>(kVELTCPStreamVersion)};

VELTCPOpening VELTCPReadOpening(const char* bytes, size_t size) {
  if (size < 4)
    return VELTCPOpening::kUndecided;
  if (bytes[0] != 0 || bytes[1] != 0 || bytes[2] != 0 || bytes[3] != 0)
    return VELTCPOpening::kBlock;
  if (size < kVELTCPHelloBytes)
    return VELTCPOpening::kUndecided;
  return static_cast<uint8_t>(bytes[4]) == kVELTCPStreamVersion ? VELTCPOpening::kHello
                                                                : VELTCPOpening::kUnknown;
}

void VELTCPWriteAck(uint32_t taken, bool closing, char out[kVELTCPAckBytes]) {
  const uint32_t value = (taken & kVELTCPCountMask) | (closing ? kVELTCPClosingBit : 0);
  out[0] = static_cast<char>(value >> 24);
  out[1] = static_cast<char>(value >> 16);
  out[2] = static_cast<char>(value >> 8);
  out[3] = static_cast<char>(value);
}

VELTCPAckReader::Update VELTCPAckReader::Read(const char* bytes, size_t size, uint32_t written) {
  Update update;
  while (size > 0) {
    if (_closed) {
      update.malformed = true;
      return update;
    }
    const size_t take = std::min(kVELTCPAckBytes - _have, size);
    std::memcpy(_partial + _have, bytes, take);
    _have += take;
    bytes += take;
    size -= take;
    if (_have < kVELTCPAckBytes)
      break;
    _have = 0;
    const uint32_t value = LoadU32BE(_partial);
    const uint32_t count = value & kVELTCPCountMask;
    // Counts only grow, by no more than the blocks written whole and not yet acknowledged.
    const uint32_t newly = (count - _count) & kVELTCPCountMask;
    if (newly > written - update.taken) {
      update.malformed = true;
      return update;
    }
    update.taken += newly;
    _count = count;
    _heard = true;
    if (value & kVELTCPClosingBit) {
      _closed = true;
      update.closing = true;
    }
  }
  return update;
}

VELTCPBlockSplitter::~VELTCPBlockSplitter() {
  Release();
}

void VELTCPBlockSplitter::Release() {
  _budget->used -= _atOnce;
  _atOnce = 0;
  _block.reset();
  _capacity = 0;
}

bool VELTCPBlockSplitter::Room(size_t needed) {
  if (needed <= _capacity)
    return true;
  size_t size =
      std::min<size_t>(_declared, std::max({needed, kFirstBytes, _capacity * 2, _capacity + kGrowthBytes}));
  // Every step of growth copies the block again: once its first kilobyte is in, it takes its whole length
  // while the budget allows.
  const bool atOnce = needed > kFirstBytes && _budget->used + _declared <= _budget->limit;
  if (atOnce)
    size = _declared;
  VELBlockBytes grown = VELNewBlockBytes(size);
  if (!grown)
    return false;
  if (_received > 0)
    std::memcpy(grown.get(), _block ? _block.get() : reinterpret_cast<char*>(_head), _block ? _received : 4);
  _block = std::move(grown);
  _capacity = size;
  if (atOnce) {
    _budget->used += size - _atOnce;
    _atOnce = size;
  }
  return true;
}

void VELTCPBlockSplitter::Complete(const Sink& sink) {
  VELBlockBytes block = std::move(_block);
  const int size = static_cast<int>(_declared);
  Release();
  _received = 0;
  _declared = 0;
  sink(std::move(block), size);
}

bool VELTCPBlockSplitter::Take(const char* bytes, size_t size, const Sink& sink) {
  while (size > 0) {
    if (_declared == 0) {
      const size_t take = std::min(4 - _received, size);
      std::memcpy(_head + _received, bytes, take);
      _received += take;
      bytes += take;
      size -= take;
      if (_received < 4)
        return true;
      const uint32_t declared = LoadU32BE(_head);
      if (declared < 4 || declared > _maxBlock)
        return false;
      _declared = declared;
      if (size >= declared - 4) {
        // Whole in what arrived, as short blocks mostly are: one allocation of its size, one copy.
        VELBlockBytes block = VELNewBlockBytes(declared);
        if (!block)
          return false;
        std::memcpy(block.get(), _head, 4);
        std::memcpy(block.get() + 4, bytes, declared - 4);
        bytes += declared - 4;
        size -= declared - 4;
        _received = 0;
        _declared = 0;
        sink(std::move(block), static_cast<int>(declared));
        continue;
      }
    }
    const size_t take = std::min<size_t>(size, _declared - _received);
    if (!Room(_received + take))
      return false;
    std::memcpy(_block.get() + _received, bytes, take);
    _received += take;
    bytes += take;
    size -= take;
    if (_received == _declared)
      Complete(sink);
  }
  return true;
}

char* VELTCPBlockSplitter::Straight(size_t minimum, size_t* room) {
  if (_declared == 0 || _declared - _received < minimum)
    return nullptr;
  // The first kilobyte first, as for any block; the rest at once where the budget allows.
  const size_t wanted = _received < kFirstBytes ? kFirstBytes : _received + kFirstBytes;
  if (_capacity <= _received && !Room(std::min<size_t>(_declared, wanted)))
    return nullptr;
  *room = _capacity - _received;
  return _block.get() + _received;
}

void VELTCPBlockSplitter::Filled(size_t count, const Sink& sink) {
  _received += std::min(count, _capacity - _received);
  if (_received == _declared)
    Complete(sink);
}
