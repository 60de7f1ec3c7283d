// The local peer's firing operations: each creates one notification, dispatches it synchronously with the
// peer as publisher and releases it.
#include <new>
#include <optional>
#include <utility>

#include "core/VELP2PNode.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"

namespace {

template <class Notification, class... Args>
void Fire(VELP2PPeer* publisher, Args&&... args) {
  auto* notification = new (std::nothrow) Notification(std::forward<Args>(args)...);
  if (!notification)
    return;
  // What subscribers send is theirs, even while the message that caused the notification is dispatched.
  std::optional<VELP2PAnswerGuard::ApplicationScope> application;
  if (VELP2PNode* node = publisher->Node())
    application.emplace(node->Guard());
  DispatchCallbacks(publisher, notification);
  notification->Release();
}

}  // namespace

void VELP2PPeer::FirePeerInitNotif() {
  VELP2P_TRACE("VELP2PPeer - FirePeerInitNotif");
  Fire<VELP2PInitPeerNotif>(this, &_peerName);
}

void VELP2PPeer::FirePeerBirthNotif(VELUnicodeString& name) {
  VELP2P_TRACE("VELP2PPeer - FirePeerBirthNotif");
  Fire<VELP2PPeerBirthNotif>(this, &name);
}

void VELP2PPeer::FirePeerDeathNotif(VELUnicodeString& name) {
  VELP2P_TRACE("VELP2PPeer - FirePeerDeathNotif");
  Fire<VELP2PPeerDeathNotif>(this, &name);
}

void VELP2PPeer::FirePeerCreateNotif(VELUnicodeString& name) {
  VELP2P_TRACE("VELP2PPeer - FirePeerCreateNotif");
  if (_connected == 0)
    return;
  Fire<VELP2PPeerCreatNotif>(this, &name);
}

void VELP2PPeer::FirePeerDestructNotif(VELUnicodeString& name) {
  VELP2P_TRACE("VELP2PPeer - FirePeerDestructNotif");
  if (_connected == 0)
    return;
  Fire<VELP2PPeerDestructNotif>(this, &name);
}

void VELP2PPeer::FireCrossGroupPeerCreateNotif(VELUnicodeString& name, VELUnicodeString& group) {
  VELP2P_TRACE("VELP2PPeer - FireCrossGroupPeerCreateNotif");
  if (_connected == 0)
    return;
  Fire<VELP2PCrossGroupPeerCreatNotif>(this, &name, &group);
}

void VELP2PPeer::FireSearchResult(VELUnicodeString& peerName, VELUnicodeString& group) {
  VELP2P_TRACE("VELP2PPeer - FireSearchResult");
  if (_connected == 0)
    return;
  Fire<VELP2PSearchResultNotif>(this, &peerName, &group);
}

void VELP2PPeer::FirePeerStatusNotif(VELUnicodeString& name, VELP2PUserStatus status,
                                     const VELUnicodeString& desc) {
  VELP2P_TRACE("VELP2PPeer - FirePeerStatusNotif");
  Fire<VELP2PChangeStatusNotif>(this, &name, status, desc);
}

void VELP2PPeer::FireCurrentGroupNotif() {
  VELP2P_TRACE("VELP2PPeer - FireCurrentGroupNotif");
  if (_connected == 0)
    return;
  Fire<VELP2PCurrentGroupModifNotif>(this, &_peerName, _subGroups.get(), &_currentGroup);
}

void VELP2PPeer::FireSubGroupNotif() {
  VELP2P_TRACE("VELP2PPeer - FireSubGroupNotif");
  if (_connected == 0)
    return;
  Fire<VELP2PSubGroupModifNotif>(this, &_peerName, _subGroups.get(), &_currentGroup);
}

void VELP2PPeer::FireGroupNotif() {
  VELP2P_TRACE("VELP2PPeer - FireGroupNotif");
  if (_connected == 0)
    return;
  Fire<VELP2PGroupModifNotif>(this, &_peerName, _subGroups.get(), &_currentGroup);
}

VELResult VELP2PPeer::NewPeerMessageReceivedNotif(VELUnicodeString& sender, VELUnicodeString& header,
                                                  unsigned char type, char* data, int length) {
  VELP2P_TRACE("VELP2PPeer - NewPeerMessageReceivedNotif");
  Fire<VELP2PMessageReceivedNotif>(this, &sender, &header, type, data, static_cast<unsigned int>(length));
  return VEL_S_OK;
}

VELResult VELP2PPeer::NewPeerSessionEvent(VELUnicodeString& peerName, int sessionType,
                                          unsigned char eventType) {
  VELP2P_TRACE("VELP2PPeer - NewPeerSessionEvent");
  Fire<VELP2PSessionNotif>(this, &peerName, sessionType, eventType);
  return VEL_S_OK;
}
