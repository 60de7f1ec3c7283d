// A table of caller-owned records found by a 32-bit key that the caller's hash function derives from them.
#ifndef VELP2P_HOST_VELSYSSIMPLEHASHTABLE_H
#define VELP2P_HOST_VELSYSSIMPLEHASHTABLE_H

#include <cstdint>
#include <map>
#include <vector>

// Records with the same hash are kept in insertion order, and hashes in ascending order, so KeyLocate and
// ForEach are deterministic. Two records are duplicates when they have the same hash and the comparison
// function answers 1 for them. The table never owns its records: clean up with ForEach before destroying it.
class VELSysSimpleHashTable {
 public:
  typedef uint32_t (*HashFunction)(const void* record);
  typedef int (*CompareFunction)(const void* a, const void* b);

  // The size is only a hint and may be 0.
  VELSysSimpleHashTable(int size, HashFunction hash, CompareFunction compare);

  // 1 when stored; 0 when record is null or a duplicate of a stored record is present.
  int Insert(void* record);
  // The first stored record whose hash is hashKey, or null.
  void* KeyLocate(uint32_t hashKey) const;
  // Removes this very record (the pointer, not an equal one); 1 when removed, 0 when it was not stored.
  int Remove(void* record);
  int Size() const { return _count; }

  // Calls f(record) for every record; f must not change the table.
  template <class F>
  void ForEach(F f) const {
    for (const auto& chain : _chains) {
      for (void* record : chain.second)
        f(record);
    }
  }

 private:
  HashFunction _hash;
  CompareFunction _compare;
  std::map<uint32_t, std::vector<void*>> _chains;  // records per hash, in insertion order
  int _count;                                      // records over all chains
};

#endif
