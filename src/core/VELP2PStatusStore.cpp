#include "core/VELP2PStatusStore.h"

#include "core/VELP2PConfig.h"

void VELP2PStatusStore::Set(const VELUnicodeString& name, VELP2PUserStatus status,
                            const VELUnicodeString& desc) {
  auto found = _statuses.find(name.Str());
  if (found == _statuses.end()) {
    if (Size() >= kVELP2PMaxKnownPeers)
      return;
    found = _statuses.emplace(name.Str(), Status{status, false}).first;
  }
  found->second.status = status;
  if (!desc.IsEmpty())
    _descriptions[name.Str()] = desc;
}

bool VELP2PStatusStore::Get(const VELUnicodeString& name, VELP2PUserStatus& status,
                            VELUnicodeString& desc) const {
  auto found = _statuses.find(name.Str());
  if (found == _statuses.end())
    return false;
  status = found->second.status;
  auto description = _descriptions.find(name.Str());
  desc = description == _descriptions.end() ? VELUnicodeString() : description->second;
  return true;
}

void VELP2PStatusStore::Remove(const VELUnicodeString& name) {
  _statuses.erase(name.Str());
  _descriptions.erase(name.Str());
}

void VELP2PStatusStore::Notice(const VELUnicodeString& name) {
  auto found = _statuses.find(name.Str());
  if (found != _statuses.end())
    found->second.noticed = true;
}

bool VELP2PStatusStore::Noticed(const VELUnicodeString& name) const {
  auto found = _statuses.find(name.Str());
  return found != _statuses.end() && found->second.noticed;
}

void VELP2PStatusStore::Renew(const VELUnicodeString& name) {
  Set(name, 0, VELUnicodeString());
  auto found = _statuses.find(name.Str());
  if (found != _statuses.end())
    found->second.noticed = false;
}
