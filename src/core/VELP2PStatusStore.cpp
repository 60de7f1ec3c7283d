#include "core/VELP2PStatusStore.h"

#include "core/VELP2PConfig.h"

void VELP2PStatusStore::Set(const VELUnicodeString& name, VELP2PUserStatus status,
                            const VELUnicodeString& desc) {
  auto found = _statuses.find(name.Str());
  if (found == _statuses.end()) {
    if (Size() >= kVELP2PMaxKnownPeers)
      return;
    found = _statuses.emplace(name.Str(), status).first;
  }
  found->second = status;
  if (!desc.IsEmpty())
    _descriptions[name.Str()] = desc;
}

bool VELP2PStatusStore::Get(const VELUnicodeString& name, VELP2PUserStatus& status,
                            VELUnicodeString& desc) const {
  auto found = _statuses.find(name.Str());
  if (found == _statuses.end())
    return false;
  status = found->second;
  auto description = _descriptions.find(name.Str());
  desc = description == _descriptions.end() ? VELUnicodeString() : description->second;
  return true;
}

void VELP2PStatusStore::Remove(const VELUnicodeString& name) {
  _statuses.erase(name.Str());
  _descriptions.erase(name.Str());
}
