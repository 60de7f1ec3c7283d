#include "transport/VELTCPIncoming.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/VELSocketCalls.h"
#include "host/VELSockets.h"

namespace {

// Bytes read from one connection per turn, so that a fast sender of large blocks shares the loop.
constexpr size_t kReadBudgetPerTurn = 1 << 20;
// Growth step of a block's buffer when it cannot be sized at once; it then never grows beyond what has
// arrived by more than this or its size.
constexpr size_t kGrowthBytes = 64 << 10;
// A block of a stream with at least this much left is received straight into its own memory.
constexpr size_t kStraightBytes = 16 << 10;

uint32_t LoadU32BE(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
         (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
}

size_t Saturated(size_t a, size_t b) {
  return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

}  // namespace

VELTCPIncoming::Progress VELTCPIncoming::ReadOne(size_t room, VELTCPBlockSplitter::Budget& budget,
                                                 bool hellos) {
  size_t left = kReadBudgetPerTurn;
  while (left > 0) {
    size_t firstLeft = _received < kFirstReadBytes ? kFirstReadBytes - _received : 0;
    size_t allowed = Saturated(room, firstLeft);
    if (_declared != 0 && allowed == 0)
      return Progress::kPaused;
    if (_received == _capacity && !Grow(budget))
      return Progress::kFailed;
    size_t wanted = _capacity - _received;
    if (_declared != 0)
      wanted = std::min({wanted, left, allowed});
    ssize_t count = VELTCPReceive(descriptor, _block.get() + _received, wanted);
    if (count < 0)
      return count == -EAGAIN ? Progress::kMore : Progress::kFailed;
    if (count == 0)
      return Progress::kFailed;  // closed before the block was whole
    _received += static_cast<size_t>(count);
    lastActivity = Clock::now();
    left -= std::min(left, static_cast<size_t>(count));
    room -= std::min(room, static_cast<size_t>(count) - std::min(firstLeft, static_cast<size_t>(count)));
    if (_declared == 0 && _received >= 4) {
      switch (VELTCPReadOpening(_block.get(), _received)) {
        case VELTCPOpening::kBlock:
          break;
        case VELTCPOpening::kUndecided:
          if (hellos)
            continue;  // the version byte is still to come
          return Progress::kFailed;
        case VELTCPOpening::kHello:
        case VELTCPOpening::kUnknown:
          return hellos ? Progress::kHello : Progress::kFailed;
      }
      uint32_t prefix = LoadU32BE(_block.get());
      if (prefix < 4 || prefix > static_cast<uint32_t>(VELSockets::kMaxBlockBytes))
        return Progress::kFailed;
      _declared = prefix;
      // Bytes past the block belong to nobody.
      _received = std::min<size_t>(_received, prefix);
      _capacity = std::min<size_t>(_capacity, prefix);
    }
    if (_declared != 0 && _received == _declared)
      return Progress::kComplete;
  }
  return Progress::kMore;
}

bool VELTCPIncoming::Grow(VELTCPBlockSplitter::Budget& budget) {
  size_t size = kFirstReadBytes;
  bool atOnce = false;
  if (_capacity > 0) {
    // A block that filled its first read is sized at once while the bound allows: every step of growth
    // would otherwise copy it again into fresh memory.
    atOnce = budget.used + _declared <= budget.limit;
    size =
        atOnce ? _declared : std::min<size_t>(std::max(_capacity * 2, _capacity + kGrowthBytes), _declared);
  }
  VELBlockBytes grown = VELNewBlockBytes(size);
  if (!grown)
    return false;
  if (_received > 0)
    std::memcpy(grown.get(), _block.get(), _received);
  _block = std::move(grown);
  _capacity = size;
  if (atOnce) {
    _sizedAtOnce = size;
    budget.used += size;
  }
  return true;
}

bool VELTCPIncoming::Stream(VELTCPBlockSplitter::Budget* budget, uint32_t maxBlock,
                            const VELTCPBlockSplitter::Sink& sink) {
  _splitter = std::make_unique<VELTCPBlockSplitter>(budget, maxBlock);
  VELBlockBytes first = std::move(_block);
  const size_t received = _received;
  _received = 0;
  _capacity = 0;
  blockSince = lastActivity;
  return _splitter->Take(first.get() + kVELTCPHelloBytes, received - kVELTCPHelloBytes, sink);
}

VELTCPIncoming::Progress VELTCPIncoming::ReadStream(size_t room, char* scratch, size_t scratchSize,
                                                    const VELTCPBlockSplitter::Sink& sink) {
  size_t left = kReadBudgetPerTurn;
  while (left > 0) {
    const size_t before = _splitter->Received();
    // A block that may finish is read to its end, and no further: the blocks after it are counted again.
    const size_t firstLeft = before < kFirstReadBytes ? kFirstReadBytes - before : 0;
    const size_t allowed = finishing ? Remaining() : Saturated(room, firstLeft);
    if (allowed == 0)
      return Progress::kPaused;
    size_t wanted = std::min(left, allowed);
    size_t straightRoom = 0;
    char* straight = _splitter->Straight(kStraightBytes, &straightRoom);
    ssize_t count = VELTCPReceive(descriptor, straight ? straight : scratch,
                                  std::min(wanted, straight ? straightRoom : scratchSize));
    if (count == 0)
      return before == 0 ? Progress::kEnded : Progress::kFailed;
    if (count < 0)
      return count == -EAGAIN ? Progress::kMore : Progress::kFailed;
    const size_t read = static_cast<size_t>(count);
    if (before == 0)
      blockSince = Clock::now();
    lastActivity = Clock::now();
    if (straight)
      _splitter->Filled(read, sink);
    else if (!_splitter->Take(scratch, read, sink))
      return Progress::kFailed;
    left -= std::min(left, read);
    room -= std::min(room, read - std::min(firstLeft, read));
    // Less than was asked for: the socket is empty, and another call would only say so.
    if (read < std::min(wanted, straight ? straightRoom : scratchSize))
      return Progress::kMore;
  }
  return Progress::kMore;
}

bool VELTCPIncoming::Acknowledge(bool closing) {
  if (_ackLeftBytes > 0) {
    ssize_t sent = VELTCPSend(descriptor, _ackLeft + kVELTCPAckBytes - _ackLeftBytes, _ackLeftBytes);
    if (sent > 0)
      _ackLeftBytes -= static_cast<size_t>(sent);
    if (_ackLeftBytes > 0)
      return !closing;
  }
  if (taken == _acknowledged && !closing)
    return true;
  char ack[kVELTCPAckBytes];
  VELTCPWriteAck(taken, closing, ack);
  ssize_t sent = VELTCPSend(descriptor, ack, sizeof(ack));
  if (sent == static_cast<ssize_t>(sizeof(ack))) {
    _acknowledged = taken;
    unacknowledgedBytes = 0;
    return true;
  }
  if (sent > 0 && !closing) {
    std::memcpy(_ackLeft, ack, sizeof(ack));
    _ackLeftBytes = sizeof(ack) - static_cast<size_t>(sent);
    _acknowledged = taken;
    unacknowledgedBytes = 0;
  }
  return !closing;
}
