// The status and description the local peer keeps for each known peer, at most kVELP2PMaxKnownPeers of them.
#ifndef VELP2P_CORE_VELP2PSTATUSSTORE_H
#define VELP2P_CORE_VELP2PSTATUSSTORE_H

#include <map>
#include <string>

#include "velp2p/VELP2PTypes.h"
#include "velp2p/VELUnicodeString.h"

class VELP2PStatusStore {
 public:
  // Sets the status of a stored name, and its description unless desc is empty; stores a new name only while
  // there is room.
  void Set(const VELUnicodeString& name, VELP2PUserStatus status, const VELUnicodeString& desc);
  // False when the name is not stored.
  bool Get(const VELUnicodeString& name, VELP2PUserStatus& status, VELUnicodeString& desc) const;
  void Remove(const VELUnicodeString& name);
  int Size() const { return static_cast<int>(_statuses.size()); }

  // A change notice of a stored name was heard: an answer that may have left before it no longer applies.
  void Notice(const VELUnicodeString& name);
  bool Noticed(const VELUnicodeString& name) const;
  // The peer was born (again): status 0, description kept, no notice heard since.
  void Renew(const VELUnicodeString& name);

 private:
  struct Status {
    VELP2PUserStatus status;
    bool noticed;
  };
  // Every known peer has a status and most have no description: apart, the statuses take less room.
  std::map<std::string, Status> _statuses;
  std::map<std::string, VELUnicodeString> _descriptions;  // of stored names only, never empty
};

#endif
