// The notifications the local peer publishes. Every pointer a notification carries belongs to the peer or
// to the caller of the firing operation and is valid only while the notification is being dispatched:
// subscribers copy what they need to keep.
//
// Subscriptions follow the registered class tree: a subscription to VELP2PNotif receives every
// notification, one to VELP2PGroupModifNotif also receives the current-group and sub-group changes. The
// peer-created and peer-destroyed notifications are registered directly below VELP2PNotif, so a
// subscription to VELP2PPeerModifNotif does not receive them.
#ifndef VELP2P_VELP2PNOTIFICATIONS_H
#define VELP2P_VELP2PNOTIFICATIONS_H

#include "velp2p/VELListValVELUnicodeString.h"
#include "velp2p/VELNotification.h"
#include "velp2p/VELP2PTypes.h"
#include "velp2p/VELUnicodeString.h"

class VELP2P_API VELP2PNotif : public VELNotification {
  VEL_DECLARE_CLASS(VELP2PNotif)
 public:
  explicit VELP2PNotif(const VELUnicodeString* peerName);
  const VELUnicodeString* getPeerName() const { return _peerName; }

 protected:
  ~VELP2PNotif() override;

 private:
  const VELUnicodeString* _peerName;  // not owned
};

#define VELP2P_DECLARE_PLAIN_NOTIF(Cls, Base)                          \
  class VELP2P_API Cls : public Base {                                 \
    VEL_DECLARE_CLASS(Cls)                                             \
   public:                                                             \
    explicit Cls(const VELUnicodeString* peerName) : Base(peerName) {} \
  };

VELP2P_DECLARE_PLAIN_NOTIF(VELP2PInitPeerNotif, VELP2PNotif)
VELP2P_DECLARE_PLAIN_NOTIF(VELP2PClosePeerNotif, VELP2PNotif)
VELP2P_DECLARE_PLAIN_NOTIF(VELP2PPeerSearchNotif, VELP2PNotif)
VELP2P_DECLARE_PLAIN_NOTIF(VELP2PPeerBirthNotif, VELP2PNotif)
VELP2P_DECLARE_PLAIN_NOTIF(VELP2PPeerDeathNotif, VELP2PNotif)
VELP2P_DECLARE_PLAIN_NOTIF(VELP2PPeerModifNotif, VELP2PNotif)
VELP2P_DECLARE_PLAIN_NOTIF(VELP2PPeerCreatNotif, VELP2PPeerModifNotif)
VELP2P_DECLARE_PLAIN_NOTIF(VELP2PPeerDestructNotif, VELP2PPeerModifNotif)

class VELP2P_API VELP2PChangeStatusNotif : public VELP2PNotif {
  VEL_DECLARE_CLASS(VELP2PChangeStatusNotif)
 public:
  VELP2PChangeStatusNotif(const VELUnicodeString* peerName, VELP2PUserStatus status,
                          const VELUnicodeString& desc);
  VELP2PUserStatus getStatus() const { return _status; }
  // Copies the description into out; always 0.
  VELResult getDescription(VELUnicodeString& out) const;

 private:
  VELP2PUserStatus _status;
  VELUnicodeString _desc;  // a copy, owned
};

// Carries the group of a peer found in another group.
class VELP2P_API VELP2PCrossGroupPeerCreatNotif : public VELP2PNotif {
  VEL_DECLARE_CLASS(VELP2PCrossGroupPeerCreatNotif)
 public:
  VELP2PCrossGroupPeerCreatNotif(const VELUnicodeString* peerName, const VELUnicodeString* groupName);
  const VELUnicodeString* getGroupName() const { return _groupName; }

 private:
  const VELUnicodeString* _groupName;  // not owned
};

class VELP2P_API VELP2PSearchResultNotif : public VELP2PNotif {
  VEL_DECLARE_CLASS(VELP2PSearchResultNotif)
 public:
  VELP2PSearchResultNotif(const VELUnicodeString* peerName, const VELUnicodeString* groupName);
  const VELUnicodeString* getGroupName() const { return _groupName; }

 private:
  const VELUnicodeString* _groupName;  // not owned
};

class VELP2P_API VELP2PMessageReceivedNotif : public VELP2PNotif {
  VEL_DECLARE_CLASS(VELP2PMessageReceivedNotif)
 public:
  VELP2PMessageReceivedNotif(const VELUnicodeString* peerName, const VELUnicodeString* header,
                             unsigned char type, char* buffer, unsigned int length);
  char* getBuffer() const { return _buffer; }
  unsigned int getLength() const { return _length; }
  unsigned char getType() const { return _type; }
  const VELUnicodeString* getHeader() const { return _header; }

 private:
  char* _buffer;  // not owned
  unsigned int _length;
  unsigned char _type;
  const VELUnicodeString* _header;  // not owned
};

class VELP2P_API VELP2PSessionNotif : public VELP2PNotif {
  VEL_DECLARE_CLASS(VELP2PSessionNotif)
 public:
  VELP2PSessionNotif(const VELUnicodeString* peerName, int sessionType, unsigned char eventType);
  int getSessionType() const { return _sessionType; }
  // '0' (0x30) opened, '1' (0x31) closed, or whatever byte the sender wrote.
  unsigned char getEventType() const { return _eventType; }

 private:
  int _sessionType;
  unsigned char _eventType;
};

class VELP2P_API VELP2PGroupModifNotif : public VELP2PNotif {
  VEL_DECLARE_CLASS(VELP2PGroupModifNotif)
 public:
  VELP2PGroupModifNotif(const VELUnicodeString* peerName, VELListValVELUnicodeString* subGroups,
                        const VELUnicodeString* currentGroup);
  const VELUnicodeString* getCurrentGroup() const { return _currentGroup; }
  VELListValVELUnicodeString* getSubGroups() const { return _subGroups; }

 private:
  const VELUnicodeString* _currentGroup;   // not owned
  VELListValVELUnicodeString* _subGroups;  // not owned
};

// A point-to-point message was accepted by a send call but could not be delivered afterwards. The peer
// name is empty when the address matches no known peer; address reads "a.b.c.d:port"; reason is "timed
// out", "refused", "reset" or "unreachable".
class VELP2P_API VELP2PSendFailedNotif : public VELP2PNotif {
  VEL_DECLARE_CLASS(VELP2PSendFailedNotif)
 public:
  VELP2PSendFailedNotif(const VELUnicodeString* peerName, const char* address, const char* service,
                        const char* reason);
  const char* getAddress() const { return _address; }
  const char* getService() const { return _service; }
  const char* getReason() const { return _reason; }

 private:
  const char* _address;  // not owned
  const char* _service;  // not owned
  const char* _reason;   // not owned
};

#define VELP2P_DECLARE_GROUP_NOTIF(Cls)                                          \
  class VELP2P_API Cls : public VELP2PGroupModifNotif {                          \
    VEL_DECLARE_CLASS(Cls)                                                       \
   public:                                                                       \
    Cls(const VELUnicodeString* peerName, VELListValVELUnicodeString* subGroups, \
        const VELUnicodeString* group)                                           \
        : VELP2PGroupModifNotif(peerName, subGroups, group) {}                   \
  };

VELP2P_DECLARE_GROUP_NOTIF(VELP2PCurrentGroupModifNotif)
VELP2P_DECLARE_GROUP_NOTIF(VELP2PSubGroupModifNotif)

#undef VELP2P_DECLARE_PLAIN_NOTIF
#undef VELP2P_DECLARE_GROUP_NOTIF

#endif
