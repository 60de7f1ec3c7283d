#include "velp2p/VELP2PPeerInfo.h"

#include "velp2p/VELHashDicVELP2PPeerInfo.h"

#include <cstring>

#include "host/VELTraceMacros.h"

VELP2PPeerInfo::VELP2PPeerInfo(const VELUnicodeString& peerName, int recordCount,
                               const VELUnicodeString& peerGroup)
    : name(peerName), group(peerGroup), count(recordCount) {}

VELP2PPeerInfo::~VELP2PPeerInfo() {
  VELP2P_TRACE("VELP2PPeerInfo - Destructor");
}

VELResult VELP2PPeerInfo::Initialize(const char* buffer, int length) {
  if (count == 0)
    return VEL_S_OK;
  if (count < 0 || !buffer || length < 0)
    return VEL_E_FAIL;
  if (!_endpoints)
    _endpoints = std::make_unique<VELListPtrVELP2PEndPointInfo>();
  int position = 0;
  for (int i = 0; i < count; ++i) {
    if (length - position < 1)
      return VEL_E_FAIL;
    int recordLength = static_cast<unsigned char>(buffer[position]);
    // A record shorter than its fixed fields would make the senders read past its block.
    if (recordLength < static_cast<int>(sizeof(VELP2PEndPointInfo)))
      return VEL_E_FAIL;
    if (length - position < recordLength)
      return VEL_E_FAIL;
    auto block = std::make_unique<uint8_t[]>(recordLength);
    std::memcpy(block.get(), buffer + position, recordLength);
    _endpoints->Append(reinterpret_cast<VELP2PEndPointInfo*>(block.get()));
    _blocks.push_back(std::move(block));
    position += recordLength;
  }
  return VEL_S_OK;
}

void VELHashDicVELP2PPeerInfo::ApplyDelete() {
  int bucket = 1, position = 0;
  while (VELP2PPeerInfo* info = Next(bucket, position))
    delete info;
  RemoveAll();
}
