#include "transport/VELTCPStream.h"

#include <algorithm>
#include <cerrno>

#include "host/VELSocketCalls.h"

namespace {

// Pieces handed to the system in one call: enough for a turn's worth of short blocks.
constexpr int kPiecesPerCall = 64;

}  // namespace

int VELTCPStream::Write(int descriptor) {
  while (Unwritten()) {
    iovec pieces[kPiecesPerCall];
    int count = 0;
    if (_helloLeft > 0) {
      pieces[count++] = {const_cast<char*>(kVELTCPHello + kVELTCPHelloBytes - _helloLeft), _helloLeft};
    }
    size_t skip = _offset;
    for (size_t i = _written; i < _blocks.size() && count < kPiecesPerCall; ++i) {
      pieces[count++] = {_blocks[i].bytes.get() + skip, _blocks[i].size - skip};
      skip = 0;
    }
    ssize_t sent = VELTCPSendPieces(descriptor, pieces, count);
    if (sent < 0)
      return static_cast<int>(-sent);
    size_t left = static_cast<size_t>(sent);
    const size_t hello = std::min(left, _helloLeft);
    _helloLeft -= hello;
    left -= hello;
    while (left > 0) {
      const size_t rest = _blocks[_written].size - _offset;
      if (left < rest) {
        _offset += left;
        break;
      }
      left -= rest;
      _offset = 0;
      ++_written;
    }
  }
  return 0;
}

VELTCPStream::Reading VELTCPStream::Read(int descriptor) {
  Reading heard;
  char bytes[256];
  for (;;) {
    ssize_t received = VELTCPReceive(descriptor, bytes, sizeof(bytes));
    if (received == -EAGAIN)
      return heard;
    const bool drained = received > 0 && static_cast<size_t>(received) < sizeof(bytes);
    if (received <= 0) {
      heard.ended = true;
      return heard;
    }
    VELTCPAckReader::Update update =
        _acks.Read(bytes, static_cast<size_t>(received), static_cast<uint32_t>(_written - heard.delivered));
    heard.delivered += update.taken;
    if (update.malformed) {
      heard.malformed = true;
      return heard;
    }
    if (update.closing) {
      heard.closing = true;
      return heard;
    }
    if (drained)
      return heard;  // another read would only say so
  }
}

VELTCPOutgoingBlock VELTCPStream::PopDelivered() {
  VELTCPOutgoingBlock block = std::move(_blocks.front());
  _blocks.pop_front();
  --_written;
  return block;
}
