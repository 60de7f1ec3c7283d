// Collects the fragments of split messages per sender and hands on each message once its last piece arrives.
//
// Ownership: a fragment is only read; what is stored is copied into its group's buffer. When the last
// fragment completes a group, the group's buffer is handed over as a new block.
//
// Invariants, checked before any byte is copied:
// - every fragment is a well-formed header for the bytes received (see VELP2PHeaderFields);
// - the announced total lies between 1 and Limits::maxTotal, so no allocation follows a wire length blindly;
// - every piece fits what is left of its group's capacity, and the last one fills it exactly;
// - middle and last fragments travel the same way (unicast or multicast) and name the same service as the
// first;
// - at most maxGroupsPerSender groups per sender and maxGroups, maxBytes over all senders are held; room for
// a
//   new group is made by dropping the oldest group, of the same sender when its own limit is reached.
// A failure inside a group drops that group; a fragment that finds no group, or contradicts its group, is
// dropped alone. Other groups are never touched except by the limits above. Every drop is counted by reason.
#ifndef VELP2P_WIRE_VELP2PREASSEMBLER_H
#define VELP2P_WIRE_VELP2PREASSEMBLER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "velp2p/VELP2PDrops.h"
#include "wire/VELP2PBlock.h"
#include "wire/VELP2PSenderHolder.h"

struct VELP2PHeaderFields;

class VELP2PReassembler {
 public:
  struct Limits {
    int maxTotal;            // largest announced payload of a split message, in bytes
    int maxGroupsPerSender;  // groups one sender may have in progress
    int maxGroups;           // groups in progress over all senders
    size_t maxBytes;         // bytes of reassembly buffers over all senders
  };
  // 4 MiB per message, 8 groups per sender, 256 groups and 16 MiB in all.
  static Limits DefaultLimits();

  VELP2PReassembler();
  // Limits below 1 are raised to 1.
  explicit VELP2PReassembler(const Limits& limits);
  ~VELP2PReassembler();
  VELP2PReassembler(const VELP2PReassembler&) = delete;
  VELP2PReassembler& operator=(const VELP2PReassembler&) = delete;

  struct Outcome {
    VELP2PBlock completed;  // the reassembled block, when the fragment completed its group
    bool dropped = false;   // the fragment was refused, for reason
    VELP2PDrop reason = VELP2PDrop::Malformed;
  };
  // Takes one received fragment: stored, completing its group, or dropped.
  Outcome Take(const VELP2PBlock& fragment);

  int GetGroupCount() const { return _groupCount; }
  size_t GetHeldBytes() const { return _heldBytes; }
  int GetSenderCount() const { return static_cast<int>(_senders.size()); }
  bool HasGroup(const std::string& sender, uint32_t msgGrpId) const;
  const Limits& GetLimits() const { return _limits; }
  const VELP2PDropCounters& GetDrops() const { return _drops; }

 private:
  typedef std::map<std::string, std::unique_ptr<VELP2PSenderHolder>> SenderMap;

  Outcome Drop(VELP2PDrop reason);
  Outcome TakeFirst(const char* message, const VELP2PHeaderFields& fields, const std::string& sender);
  Outcome TakeFollowing(const char* message, const VELP2PHeaderFields& fields, const std::string& sender,
                        bool last);
  // Drops groups until a new group of capacity bytes from sender fits every limit.
  void MakeRoom(const std::string& sender, int capacity);
  // Drops the oldest group of sender, or of every sender when sender is null; false when there is none.
  bool DropOldest(const std::string* sender);
  // Forgets one group (its buffer too, unless taken) and the sender holder when it was its last group.
  void RemoveGroup(SenderMap::iterator senderAt, uint32_t msgGrpId);

  Limits _limits;
  SenderMap _senders;     // sender name -> its groups in progress; no empty holder is kept
  int _groupCount;        // groups over all senders
  size_t _heldBytes;      // sum of the capacities of those groups
  uint64_t _nextArrival;  // stamps each new group, to find the oldest
  VELP2PDropCounters _drops;
};

#endif
