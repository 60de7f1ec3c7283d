#include "velp2p/VELP2PNotifications.h"

VEL_IMPLEMENT_CLASS_EXT(VELP2PNotif, VELNotification, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PInitPeerNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PClosePeerNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PPeerSearchNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PPeerBirthNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PPeerDeathNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PPeerModifNotif, VELP2PNotif, "VELNull")
// Registered directly below VELP2PNotif although built on VELP2PPeerModifNotif.
VEL_IMPLEMENT_CLASS_EXT(VELP2PPeerCreatNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PPeerDestructNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PChangeStatusNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PCrossGroupPeerCreatNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PSearchResultNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PMessageReceivedNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PSessionNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PSendFailedNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PGroupModifNotif, VELP2PNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PCurrentGroupModifNotif, VELP2PGroupModifNotif, "VELNull")
VEL_IMPLEMENT_CLASS_EXT(VELP2PSubGroupModifNotif, VELP2PGroupModifNotif, "VELNull")

VELP2PNotif::VELP2PNotif(const VELUnicodeString* peerName) : VELNotification(0), _peerName(peerName) {}

VELP2PNotif::~VELP2PNotif() = default;

VELP2PChangeStatusNotif::VELP2PChangeStatusNotif(const VELUnicodeString* peerName, VELP2PUserStatus status,
                                                 const VELUnicodeString& desc)
    : VELP2PNotif(peerName), _status(status), _desc(desc) {}

VELResult VELP2PChangeStatusNotif::getDescription(VELUnicodeString& out) const {
  out = _desc;
  return VEL_S_OK;
}

VELP2PCrossGroupPeerCreatNotif::VELP2PCrossGroupPeerCreatNotif(const VELUnicodeString* peerName,
                                                               const VELUnicodeString* groupName)
    : VELP2PNotif(peerName), _groupName(groupName) {}

VELP2PSearchResultNotif::VELP2PSearchResultNotif(const VELUnicodeString* peerName,
                                                 const VELUnicodeString* groupName)
    : VELP2PNotif(peerName), _groupName(groupName) {}

VELP2PMessageReceivedNotif::VELP2PMessageReceivedNotif(const VELUnicodeString* peerName,
                                                       const VELUnicodeString* header, unsigned char type,
                                                       char* buffer, unsigned int length)
    : VELP2PNotif(peerName), _buffer(buffer), _length(length), _type(type), _header(header) {}

VELP2PSessionNotif::VELP2PSessionNotif(const VELUnicodeString* peerName, int sessionType,
                                       unsigned char eventType)
    : VELP2PNotif(peerName), _sessionType(sessionType), _eventType(eventType) {}

VELP2PSendFailedNotif::VELP2PSendFailedNotif(const VELUnicodeString* peerName, const char* address,
                                             const char* service, const char* reason)
    : VELP2PNotif(peerName), _address(address), _service(service), _reason(reason) {}

VELP2PGroupModifNotif::VELP2PGroupModifNotif(const VELUnicodeString* peerName,
                                             VELListValVELUnicodeString* subGroups,
                                             const VELUnicodeString* currentGroup)
    : VELP2PNotif(peerName), _currentGroup(currentGroup), _subGroups(subGroups) {}
