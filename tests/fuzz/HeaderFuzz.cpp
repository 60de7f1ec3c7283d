// The header parse on the bytes received, and what a service reads from a message over a parsed header.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "velp2p/VELP2PHeader.h"
#include "wire/VELP2PMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly as many bytes as received, so that a read past them shows under the sanitizers.
  std::unique_ptr<char[]> block(new char[size > 0 ? size : 1]);
  if (size > 0)
    std::memcpy(block.get(), data, size);
  VELP2PHeader header;
  if (VEL_FAILED(
          header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(block.get()), static_cast<int>(size))))
    return 0;
  const int payloadLength = header.GetPayloadLength();
  if (payloadLength < 0 || header.GetPayload() < block.get() ||
      header.GetPayload() + payloadLength > block.get() + size) {
    std::abort();
  }
  VELP2PMessage message(header);
  VELUnicodeString text;
  (void)message.GetMessageGroup(text);
  (void)message.GetSendingPeerName(text);
  int length = -1;
  if (VEL_FAILED(message.GetBufferLenght(length)) || length != payloadLength)
    std::abort();
  std::vector<char> payload(static_cast<size_t>(length) + 1);
  (void)message.GetBuffer(payload.data(), length);
  VELP2PEndPointInfo info{};
  (void)message.GetSendingPeerEPInfo(info, VELP2P_MESSAGE_UNICAST);
  (void)message.GetSendingPeerEPInfo(info, VELP2P_MESSAGE_MULTICAST);
  return 0;
}
