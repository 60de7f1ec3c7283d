#include "velp2p/VELP2PPeerInfo.h"

#include "velp2p/VELHashDicVELP2PPeerInfo.h"

#include <cstring>

#include "core/VELP2PRecordFacts.h"
#include "host/VELTraceMacros.h"

VELP2PPeerInfo::VELP2PPeerInfo(const VELUnicodeString& peerName, int recordCount,
                               const VELUnicodeString& peerGroup)
    : name(peerName), group(peerGroup), count(recordCount) {}

VELP2PPeerInfo::~VELP2PPeerInfo() {
  VELP2P_TRACE("VELP2PPeerInfo - Destructor");
  while (_records) {
    uint8_t* earlier = nullptr;
    std::memcpy(&earlier, _records.get(), sizeof earlier);
    _records.reset(earlier);
  }
}

VELResult VELP2PPeerInfo::Initialize(const char* buffer, int length) {
  if (count == 0)
    return VEL_S_OK;
  if (count < 0 || !buffer || length < 0)
    return VEL_E_FAIL;
  // The records that parse are kept even when a later one fails.
  int parsed = 0, used = 0;
  for (; parsed < count; ++parsed) {
    if (length - used < 1)
      break;
    int recordLength = static_cast<unsigned char>(buffer[used]);
    // A record shorter than its fixed fields would make the senders read past its copy.
    if (recordLength < static_cast<int>(sizeof(VELP2PEndPointInfo)) || length - used < recordLength)
      break;
    used += recordLength;
  }
  std::unique_ptr<uint8_t[]> block(new uint8_t[sizeof(uint8_t*) + used]);
  uint8_t* earlier = _records.release();
  std::memcpy(block.get(), &earlier, sizeof earlier);
  uint8_t* copy = block.get() + sizeof earlier;
  std::memcpy(copy, buffer, used);
  _records = std::move(block);
  for (int i = 0, position = 0; i < parsed; ++i) {
    _endpoints.Append(reinterpret_cast<VELP2PEndPointInfo*>(copy + position));
    position += copy[position];
  }
  return parsed == count ? VEL_S_OK : VEL_E_FAIL;
}

void VELHashDicVELP2PPeerInfo::ApplyDelete() {
  int bucket = 1, position = 0;
  while (VELP2PPeerInfo* info = Next(bucket, position))
    delete info;
  RemoveAll();
}
