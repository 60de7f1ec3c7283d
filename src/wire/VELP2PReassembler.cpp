#include "wire/VELP2PReassembler.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "velp2p/VELP2PHeader.h"
#include "velp2p/VELP2PTypes.h"
#include "wire/VELByteOrder.h"
#include "wire/VELP2PHeaderFields.h"

namespace {

const uint8_t kTransportBits = VELP2P_MESSAGE_UNICAST | VELP2P_MESSAGE_MULTICAST;

}  // namespace

VELP2PReassembler::Limits VELP2PReassembler::DefaultLimits() {
  Limits limits;
  limits.maxTotal = 4 * 1024 * 1024;
  limits.maxGroupsPerSender = 8;
  limits.maxGroups = 256;
  limits.maxBytes = 16 * 1024 * 1024;
  return limits;
}

VELP2PReassembler::VELP2PReassembler() : VELP2PReassembler(DefaultLimits()) {}

VELP2PReassembler::VELP2PReassembler(const Limits& limits)
    : _limits(limits), _groupCount(0), _heldBytes(0), _nextArrival(0) {
  if (_limits.maxTotal < 1)
    _limits.maxTotal = 1;
  if (_limits.maxGroupsPerSender < 1)
    _limits.maxGroupsPerSender = 1;
  if (_limits.maxGroups < 1)
    _limits.maxGroups = 1;
  if (_limits.maxBytes < 1)
    _limits.maxBytes = 1;
}

VELP2PReassembler::~VELP2PReassembler() = default;

bool VELP2PReassembler::HasGroup(const std::string& sender, uint32_t msgGrpId) const {
  auto senderAt = _senders.find(sender);
  return senderAt != _senders.end() && senderAt->second->splittedMsgList.count(msgGrpId) != 0;
}

VELP2PReassembler::Outcome VELP2PReassembler::Drop(VELP2PDrop reason) {
  _drops.Add(reason);
  Outcome outcome;
  outcome.dropped = true;
  outcome.reason = reason;
  return outcome;
}

VELP2PReassembler::Outcome VELP2PReassembler::Take(const VELP2PBlock& fragment) {
  // Every length the steps below use comes from here, checked against what was received.
  VELP2PHeaderFields fields;
  if (!fragment || !VELP2PHeaderFields::Read(reinterpret_cast<const uint8_t*>(fragment.bytes.get()),
                                             static_cast<size_t>(fragment.size), fields)) {
    return Drop(VELP2PDrop::Malformed);
  }
  std::string sender = fields.SenderName();
  if (fields.mode & VELP2P_MESSAGE_GROUP_BEGIN)
    return TakeFirst(fragment.bytes.get(), fields, sender);
  if (fields.mode & VELP2P_MESSAGE_GROUP_MIDDLE)
    return TakeFollowing(fragment.bytes.get(), fields, sender, false);
  if (fields.mode & VELP2P_MESSAGE_GROUP_END)
    return TakeFollowing(fragment.bytes.get(), fields, sender, true);
  return Drop(VELP2PDrop::BadMode);
}

VELP2PReassembler::Outcome VELP2PReassembler::TakeFirst(const char* message, const VELP2PHeaderFields& fields,
                                                        const std::string& sender) {
  // The total travels as a signed number; a negative one is refused like zero.
  int32_t total = static_cast<int32_t>(fields.AnnouncedTotal());
  int64_t capacity = static_cast<int64_t>(total) + fields.headerLength;
  if (total < 1 || total > _limits.maxTotal || static_cast<uint64_t>(capacity) > _limits.maxBytes)
    return Drop(VELP2PDrop::BadTotal);
  if (static_cast<int64_t>(fields.totalLength) > capacity)
    return Drop(VELP2PDrop::Overflow);
  uint32_t msgGrpId = fields.MsgGrpId();
  // A second group under an identifier already in progress is refused; the first one keeps its pieces.
  if (HasGroup(sender, msgGrpId))
    return Drop(VELP2PDrop::DuplicateGroup);

  // Room is made before allocating, so that the buffers held never exceed the limits, even for a moment.
  MakeRoom(sender, static_cast<int>(capacity));
  std::unique_ptr<VELP2PBufferHolder> holder(new (std::nothrow) VELP2PBufferHolder());
  if (holder)
    holder->buffer.reset(new (std::nothrow) char[capacity]());
  if (!holder || !holder->buffer)
    return Drop(VELP2PDrop::NoMemory);
  holder->msgGrpId = msgGrpId;
  std::memcpy(&holder->senderAddress, message + offsetof(VELP2PHeaderFixedPart, senderAddress), 4);
  holder->capacity = static_cast<int>(capacity);
  holder->kind = fields.mode & kTransportBits;
  holder->serviceName = fields.serviceName;
  // The whole first fragment, its header and group path included, opens the reassembled block.
  std::memcpy(holder->buffer.get(), message, fields.totalLength);
  holder->filled = static_cast<int>(fields.totalLength);
  holder->arrival = _nextArrival++;
  std::unique_ptr<VELP2PSenderHolder>& senderHolder = _senders[sender];
  if (!senderHolder)
    senderHolder.reset(new VELP2PSenderHolder());
  senderHolder->splittedMsgList[msgGrpId] = std::move(holder);
  _groupCount += 1;
  _heldBytes += static_cast<size_t>(capacity);
  return Outcome();
}

VELP2PReassembler::Outcome VELP2PReassembler::TakeFollowing(const char* message,
                                                            const VELP2PHeaderFields& fields,
                                                            const std::string& sender, bool last) {
  auto senderAt = _senders.find(sender);
  if (senderAt == _senders.end())
    return Drop(VELP2PDrop::NoGroup);
  uint32_t msgGrpId = fields.MsgGrpId();
  auto& groups = senderAt->second->splittedMsgList;
  auto groupAt = groups.find(msgGrpId);
  if (groupAt == groups.end() || !groupAt->second->buffer)
    return Drop(VELP2PDrop::NoGroup);
  VELP2PBufferHolder& holder = *groupAt->second;
  if ((fields.mode & kTransportBits) != holder.kind || holder.serviceName != fields.serviceName)
    return Drop(VELP2PDrop::Mismatch);

  int piece = static_cast<int>(fields.totalLength - fields.headerLength);
  if (piece > holder.capacity - holder.filled) {
    RemoveGroup(senderAt, msgGrpId);
    return Drop(VELP2PDrop::Overflow);
  }
  std::memcpy(holder.buffer.get() + holder.filled, message + fields.headerLength, piece);
  holder.filled += piece;
  if (!last)
    return Outcome();
  if (holder.filled != holder.capacity) {
    RemoveGroup(senderAt, msgGrpId);
    return Drop(VELP2PDrop::Incomplete);
  }

  // The reassembled block reads as a whole message from its sender: the first fragment's sending address,
  // and from the last fragment, which is built like a whole message there, otherAddress and both ports.
  Outcome outcome;
  outcome.completed = VELP2PBlock(std::move(holder.buffer), holder.capacity);
  char* block = outcome.completed.bytes.get();
  VELP2PStoreU32BE(block + offsetof(VELP2PHeaderFixedPart, totalLength),
                   static_cast<uint32_t>(holder.capacity));
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, senderAddress), &holder.senderAddress, 4);
  std::memcpy(block + offsetof(VELP2PHeaderFixedPart, otherAddress),
              message + offsetof(VELP2PHeaderFixedPart, otherAddress), 8);
  RemoveGroup(senderAt, msgGrpId);
  return outcome;
}

void VELP2PReassembler::MakeRoom(const std::string& sender, int capacity) {
  auto senderAt = _senders.find(sender);
  if (senderAt != _senders.end() &&
      static_cast<int>(senderAt->second->splittedMsgList.size()) >= _limits.maxGroupsPerSender) {
    DropOldest(&sender);
  }
  while (_groupCount >= _limits.maxGroups || _heldBytes > _limits.maxBytes - static_cast<size_t>(capacity)) {
    if (!DropOldest(nullptr))
      break;
  }
}

bool VELP2PReassembler::DropOldest(const std::string* sender) {
  SenderMap::iterator oldestSender = _senders.end();
  uint32_t oldestId = 0;
  uint64_t oldestArrival = 0;
  for (auto senderAt = _senders.begin(); senderAt != _senders.end(); ++senderAt) {
    if (sender && senderAt->first != *sender)
      continue;
    for (const auto& group : senderAt->second->splittedMsgList) {
      if (oldestSender == _senders.end() || group.second->arrival < oldestArrival) {
        oldestSender = senderAt;
        oldestId = group.first;
        oldestArrival = group.second->arrival;
      }
    }
  }
  if (oldestSender == _senders.end())
    return false;
  _drops.Add(VELP2PDrop::Evicted);
  RemoveGroup(oldestSender, oldestId);
  return true;
}

void VELP2PReassembler::RemoveGroup(SenderMap::iterator senderAt, uint32_t msgGrpId) {
  auto& groups = senderAt->second->splittedMsgList;
  auto groupAt = groups.find(msgGrpId);
  if (groupAt == groups.end())
    return;
  _heldBytes -= static_cast<size_t>(groupAt->second->capacity);
  _groupCount -= 1;
  groups.erase(groupAt);
  if (groups.empty())
    _senders.erase(senderAt);
}
