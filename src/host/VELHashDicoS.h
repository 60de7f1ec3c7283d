// A dictionary from 8-bit VELString keys to untyped pointers, walked in ascending key order.
#ifndef VELP2P_HOST_VELHASHDICOS_H
#define VELP2P_HOST_VELHASHDICOS_H

#include "host/VELString.h"
#include "velp2p/VELSortedDico.h"

// Keys are ordered by their bytes. See VELSortedDico for the walk with Next and for ownership.
class VELHashDicoS : public VELSortedDico<VELString> {
 public:
  explicit VELHashDicoS(int size = 10) : VELSortedDico<VELString>(size) {}
};

#endif
