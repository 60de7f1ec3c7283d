// Who a built block says sent it, besides the sending endpoint's own record.
#ifndef VELP2P_WIRE_VELP2PSENDERIDENTITY_H
#define VELP2P_WIRE_VELP2PSENDERIDENTITY_H

#include <cstdint>
#include <string>

struct VELP2PSenderIdentity {
  std::string name;           // the sending peer's name, at most 31 bytes, no zero byte
  uint32_t otherAddress = 0;  // record bytes of its first endpoint of the other kind, 0 when it has none
  uint16_t otherPort = 0;
};

#endif
