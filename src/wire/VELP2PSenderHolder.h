// The fragment groups that one sender has in progress, keyed by their group identifier.
#ifndef VELP2P_WIRE_VELP2PSENDERHOLDER_H
#define VELP2P_WIRE_VELP2PSENDERHOLDER_H

#include <cstdint>
#include <map>
#include <memory>

#include "wire/VELP2PBufferHolder.h"

// A sender holder exists only while it holds at least one group.
struct VELP2PSenderHolder {
  std::map<uint32_t, std::unique_ptr<VELP2PBufferHolder>> splittedMsgList;  // groups in progress by MsgGrpId
};

#endif
