// The local peer's place in the group tree: joining a sub-group, leaving to the parent, and the sub-groups
// learnt from traffic.
#include "core/VELP2PConfig.h"
#include "core/VELP2PLiveness.h"
#include "core/VELP2PNode.h"
#include "host/VELLastError.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PPeer.h"

void VELP2PPeer::EmptyGroupState() {
  _subGroups->RemoveAll();
  if (_groupPeers)
    _groupPeers->ApplyDelete();
  if (VELP2PLiveness* liveness = _node ? _node->Liveness() : nullptr)
    liveness->GroupEmptied();
}

VELResult VELP2PPeer::CreateAndOrJoinSubGroup(const VELUnicodeString* name) {
  if (_connected == 0 || !_subGroups)
    return VELFail(VELP2P_ERROR_NOT_CONNECTED);
  // A group name is a path of non-empty components: an empty name or one holding the separator would
  // make a group that no other peer can name back.
  if (!name || name->IsEmpty() || name->Str().find('/') != std::string::npos)
    return VELFail(VELP2P_ERROR_BAD_GROUP_NAME, name ? name->Str() : std::string());
  VELUnicodeString group(_currentGroup);
  group.Append("/").Append(*name);
  _currentGroup = group;
  EmptyGroupState();
  FireCurrentGroupNotif();
  return VEL_S_OK;
}

VELResult VELP2PPeer::LeaveCurrentGroup() {
  VELP2P_TRACE("VELP2PPeer - LeaveCurrentGroup");
  if (_connected == 0 || !_subGroups)
    return VELFail(VELP2P_ERROR_NOT_CONNECTED);
  VELUnicodeString parent;
  VELUnicodeString last;
  VELResult split = VELP2PSplitGroup(_currentGroup, parent, last);
  if (VEL_FAILED(split))
    return split;
  if (parent.IsEmpty())
    return VELFail(VELP2P_ERROR_AT_ROOT, _currentGroup.Str());
  _currentGroup = parent;
  EmptyGroupState();
  FireCurrentGroupNotif();
  return VEL_S_OK;
}

void VELP2PPeer::NewGroupFound(VELUnicodeString& name) {
  VELP2P_TRACE("VELP2PPeer - NewGroupFound");
  if (_connected == 0 || !_subGroups)
    return;
  if (_subGroups->Locate(name) != 0 || _subGroups->Size() >= kVELP2PMaxSubGroups)
    return;
  _subGroups->Append(name);
  FireSubGroupNotif();
}
