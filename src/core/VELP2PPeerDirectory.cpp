// The local peer's directories of known peers and its store of their statuses.
#include "core/VELP2PConfig.h"
#include "core/VELP2PLiveness.h"
#include "core/VELP2PNode.h"
#include "core/VELP2PRecordFacts.h"
#include "core/VELP2PStatusStore.h"
#include "host/VELLastError.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PPeer.h"

namespace {

// A directory has room for info when it holds the name already (the record is then discarded) or is not
// full.
bool HasRoom(VELHashDicVELP2PPeerInfo& directory, const VELP2PPeerInfo& info) {
  if (directory.Size() < kVELP2PMaxKnownPeers || directory.Locate(info.name))
    return true;
  VELP2P_TRACE("VELP2PPeer - directory full, peer not recorded");
  return false;
}

enum class Admission { kRefused, kTaken, kOpen };

// Whether info may go on into the directory. When the directory is full, or when info names a stored peer
// from another endpoint, or comes from a source that speaks for too many names already, the liveness checks
// take info over (when they run) and decide later.
Admission Admit(VELP2PLiveness* liveness, VELHashDicVELP2PPeerInfo& directory, VELP2PPeerInfo* info,
                VELP2PLiveness::Directory which) {
  if (!HasRoom(directory, *info) || (liveness && !liveness->SourceHasRoom(*info))) {
    if (!liveness)
      return Admission::kRefused;
    liveness->Full(which, info);
    return Admission::kTaken;
  }
  VELP2PPeerInfo* known = directory.Locate(info->name);
  return known && liveness && liveness->Restarted(which, info, *known) ? Admission::kTaken : Admission::kOpen;
}

// Whether a record under a present name starts that peer afresh, with status 0. A record the application
// made does, and so does a birth from the stored endpoint by another process: the peer restarted there. An
// answer or a repeated announcement never does, as it may have left before the peer's latest change. A
// birth from another endpoint may be a restart as well as another process using the same name: the checks
// tell when they run (they took the record over before this point); without them the stored record and its
// status stay.
bool Renews(VELP2PPeerInfo& info, VELP2PPeerInfo& known) {
  const VELP2PRecordFacts* facts = VELP2PRecordFacts::Of(&info);
  if (!facts)
    return true;
  if (facts->announcement != '0')
    return false;
  VELP2PRecordFacts* stored = VELP2PRecordFacts::Of(&known);
  if (!stored || !stored->hasProcess)
    return true;
  if (!facts->hasProcess || facts->processId == stored->processId ||
      !VELP2PRecordFacts::SameEndPoint(info, known))
    return false;
  stored->processId = facts->processId;
  return true;
}

// The checks of a peer's node, while they run.
VELP2PLiveness* LivenessOf(const VELP2PPeer& peer) {
  VELP2PNode* node = peer.Node();
  return node ? node->Liveness() : nullptr;
}

void Track(const VELP2PPeer& peer, const VELP2PPeerInfo& info, VELP2PLiveness::Directory directory) {
  if (VELP2PLiveness* liveness = LivenessOf(peer))
    liveness->Track(info, directory);
}

}  // namespace

VELResult VELP2PPeer::NewPeerBirth(VELP2PPeerInfo* info) {
  VELP2P_TRACE("VELP2PPeer - NewPeerBirth");
  // A refused record stays the caller's; an accepted one is the peer's, stored or discarded.
  if (!_connectedPeers || !info || info->name.IsEmpty())
    return VEL_E_FAIL;
  Admission admission =
      Admit(LivenessOf(*this), *_connectedPeers, info, VELP2PLiveness::Directory::kConnected);
  if (admission != Admission::kOpen)
    return admission == Admission::kTaken ? VEL_S_OK : VEL_E_FAIL;
  if (!_statusAndDesc)
    _statusAndDesc = std::make_unique<VELP2PStatusStore>();
  if (VELP2PPeerInfo* known = _connectedPeers->Locate(info->name)) {
    if (Renews(*info, *known))
      _statusAndDesc->Renew(info->name);
    delete info;
    return VEL_S_OK;
  }
  // A status heard before an answer or any record but a birth is newer than the 0 a birth gives: the status
  // that follows an answer travels on a connection of its own and may have been handled first.
  const VELP2PRecordFacts* facts = VELP2PRecordFacts::Of(info);
  VELP2PUserStatus status;
  VELUnicodeString desc;
  if (!facts || facts->announcement == '0' || !_statusAndDesc->Get(info->name, status, desc))
    _statusAndDesc->Renew(info->name);
  if (!_connectedPeers->Insert(info->name, info)) {
    delete info;
    return VEL_S_OK;
  }
  Track(*this, *info, VELP2PLiveness::Directory::kConnected);
  FirePeerBirthNotif(info->name);
  return VEL_S_OK;
}

VELResult VELP2PPeer::NewPeerDeath(VELUnicodeString& name) {
  VELP2P_TRACE("VELP2PPeer - NewPeerDeath");
  if (!_connectedPeers)
    return VEL_E_FAIL;
  // The caller's name may be the record's own: keep a copy that outlives the record.
  VELUnicodeString peerName(name);
  if (VELP2PPeerInfo* removed = _connectedPeers->Remove(peerName)) {
    FirePeerDeathNotif(peerName);
    delete removed;
  }
  if (_statusAndDesc)
    _statusAndDesc->Remove(peerName);
  if (VELP2PLiveness* liveness = LivenessOf(*this))
    liveness->Forget(peerName);
  return VEL_S_OK;
}

VELResult VELP2PPeer::NewPeerDiscovered(VELP2PPeerInfo* info) {
  VELP2P_TRACE("VELP2PPeer - NewPeerDiscovered");
  if (_connected == 0 || !_groupPeers || !info || info->name.IsEmpty())
    return VEL_E_FAIL;
  Admission admission = Admit(LivenessOf(*this), *_groupPeers, info, VELP2PLiveness::Directory::kGroup);
  if (admission != Admission::kOpen)
    return admission == Admission::kTaken ? VEL_S_OK : VEL_E_FAIL;
  if (!_groupPeers->Insert(info->name, info)) {
    delete info;
    return VEL_S_OK;
  }
  Track(*this, *info, VELP2PLiveness::Directory::kGroup);
  FirePeerCreateNotif(info->name);
  return VEL_S_OK;
}

VELResult VELP2PPeer::NewPeerDestroyed(VELUnicodeString& name) {
  VELP2P_TRACE("VELP2PPeer - NewPeerDestroyed");
  if (_connected == 0 || !_groupPeers)
    return VEL_E_FAIL;
  VELUnicodeString peerName(name);
  VELP2PPeerInfo* removed = _groupPeers->Remove(peerName);
  if (!removed)
    return VEL_S_OK;
  FirePeerDestructNotif(peerName);
  delete removed;
  if (VELP2PLiveness* liveness = LivenessOf(*this))
    liveness->Forget(peerName);
  return VEL_S_OK;
}

VELResult VELP2PPeer::NewPeerCrossGroupDiscovered(VELP2PPeerInfo* info, VELUnicodeString& group) {
  VELP2P_TRACE("VELP2PPeer - NewPeerCrossGroupDiscovered");
  if (_connected == 0 || !_crossGroupPeers || !info || info->name.IsEmpty() ||
      !HasRoom(*_crossGroupPeers, *info))
    return VEL_E_FAIL;
  if (!_crossGroupPeers->Insert(info->name, info)) {
    delete info;
    return VEL_S_OK;
  }
  FireCrossGroupPeerCreateNotif(info->name, group);
  return VEL_S_OK;
}

VELResult VELP2PPeer::NewPeerStatus(VELUnicodeString& name, VELP2PUserStatus status,
                                    const VELUnicodeString& desc) {
  VELP2P_TRACE("VELP2PPeer - NewPeerStatus");
  if (name == _peerName) {
    _status = status;
    _desc = desc;
  }
  FirePeerStatusNotif(name, status, desc);
  return VEL_S_OK;
}

VELResult VELP2PPeer::AddStatusAndDesc(const VELUnicodeString& name, VELP2PUserStatus status,
                                       const VELUnicodeString& desc) {
  // A peer without a name could be told from no other; it is never recorded, in no directory.
  if (name.IsEmpty())
    return VEL_S_OK;
  if (!_statusAndDesc)
    _statusAndDesc = std::make_unique<VELP2PStatusStore>();
  _statusAndDesc->Set(name, status, desc);
  return VEL_S_OK;
}

VELResult VELP2PPeer::GetStatusAndDesc(const VELUnicodeString& name, VELP2PUserStatus& status,
                                       VELUnicodeString& desc) {
  if (!_statusAndDesc || !_statusAndDesc->Get(name, status, desc))
    return VELFail(VELP2P_ERROR_NO_STATUS, name.Str());
  return VEL_S_OK;
}

VELResult VELP2PPeer::GetConnectedPeers(VELListValVELUnicodeString& names) {
  if (!_connectedPeers)
    return VELFail(VELP2P_ERROR_NOT_CONNECTED);
  int bucket = 1, position = 0;
  while (VELP2PPeerInfo* info = _connectedPeers->Next(bucket, position))
    names.Append(info->name);
  return VEL_S_OK;
}

int VELP2PPeer::IsPeerConnected(const VELUnicodeString& name) {
  return _connectedPeers && _connectedPeers->Locate(name) ? 1 : 0;
}
