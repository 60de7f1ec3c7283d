// A 128-bit identifier naming an interface or a class.
#ifndef VELP2P_VELIID_H
#define VELP2P_VELIID_H

#include <cstdint>
#include <cstring>

struct VELIID {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];

  bool operator==(const VELIID& other) const { return std::memcmp(this, &other, sizeof(VELIID)) == 0; }
  bool operator!=(const VELIID& other) const { return !(*this == other); }
};

#endif
