// A dictionary from VELUnicodeString to untyped pointers, walked in ascending key order.
#ifndef VELP2P_VELHASHDICO_H
#define VELP2P_VELHASHDICO_H

#include "velp2p/VELSortedDico.h"
#include "velp2p/VELUnicodeString.h"

// Keys are ordered by their UTF-8 bytes. See VELSortedDico for the walk with Next and for ownership.
class VELHashDico : public VELSortedDico<VELUnicodeString> {
 public:
  explicit VELHashDico(int size = 10) : VELSortedDico<VELUnicodeString>(size) {}
};

#endif
