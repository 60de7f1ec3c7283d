// Why a received block, or a fragment group in progress, was dropped, and how many were dropped for each
// reason: the receive path counts instead of only tracing, so that tests and diagnostics can read it.
#ifndef VELP2P_VELP2PDROPS_H
#define VELP2P_VELP2PDROPS_H

#include <cstdint>

enum class VELP2PDrop : int {
  Malformed,       // the header does not fit the bytes received
  BadMode,         // neither a whole message nor a fragment
  NoGroup,         // a middle or last fragment without its first
  DuplicateGroup,  // a first fragment under an identifier already in progress
  Mismatch,        // a fragment by another transport or for another service than its group
  BadTotal,        // a first fragment announcing nothing, or more than the limits allow
  Overflow,        // a piece past the announced total (drops its group)
  Incomplete,      // a last fragment leaving the group short (drops its group)
  Evicted,         // a group dropped to make room for a newer one
  NoMemory,        // a buffer could not be allocated
  NoReceiver,      // nobody to hand the message to: no started peer
  ReadFailed,      // the medium reported an error or a cut block
  TooLong,         // a block longer than the medium carries
  Count
};

class VELP2PDropCounters {
 public:
  void Add(VELP2PDrop reason) { _counts[static_cast<int>(reason)] += 1; }
  uint64_t Get(VELP2PDrop reason) const { return _counts[static_cast<int>(reason)]; }
  uint64_t Total() const {
    uint64_t total = 0;
    for (uint64_t count : _counts)
      total += count;
    return total;
  }

 private:
  uint64_t _counts[static_cast<int>(VELP2PDrop::Count)] = {};
};

#endif
