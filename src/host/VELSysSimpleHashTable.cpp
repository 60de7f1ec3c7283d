#include "host/VELSysSimpleHashTable.h"

#include <algorithm>

VELSysSimpleHashTable::VELSysSimpleHashTable(int size, HashFunction hash, CompareFunction compare)
    : _hash(hash), _compare(compare), _count(0) {
  (void)size;
}

int VELSysSimpleHashTable::Insert(void* record) {
  if (!record || !_hash)
    return 0;
  std::vector<void*>& chain = _chains[_hash(record)];
  for (void* present : chain) {
    if (present == record || (_compare && _compare(present, record) == 1))
      return 0;
  }
  chain.push_back(record);
  ++_count;
  return 1;
}

void* VELSysSimpleHashTable::KeyLocate(uint32_t hashKey) const {
  auto at = _chains.find(hashKey);
  if (at == _chains.end() || at->second.empty())
    return nullptr;
  return at->second.front();
}

int VELSysSimpleHashTable::Remove(void* record) {
  if (!record || !_hash)
    return 0;
  auto at = _chains.find(_hash(record));
  if (at == _chains.end() || std::find(at->second.begin(), at->second.end(), record) == at->second.end()) {
    // A record whose key changed after insertion sits under its old hash: look everywhere.
    at = std::find_if(_chains.begin(), _chains.end(), [record](const auto& chain) {
      return std::find(chain.second.begin(), chain.second.end(), record) != chain.second.end();
    });
    if (at == _chains.end())
      return 0;
  }
  std::vector<void*>& chain = at->second;
  chain.erase(std::find(chain.begin(), chain.end(), record));
  if (chain.empty())
    _chains.erase(at);
  --_count;
  return 1;
}
