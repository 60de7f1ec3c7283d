// Notifications and their synchronous delivery from a publisher to the callbacks subscribed to it.
#ifndef VELP2P_VELNOTIFICATION_H
#define VELP2P_VELNOTIFICATION_H

#include <functional>

#include "velp2p/VELBaseUnknown.h"

class VELP2P_API VELNotification : public VELBaseUnknown {
  VEL_DECLARE_CLASS(VELNotification)
 public:
  explicit VELNotification(int hostArgument = 0);
  VELNotification(const VELNotification& other) = default;
  VELNotification& operator=(const VELNotification& other) = default;

 protected:
  ~VELNotification() override;
};

// One subscription; a handle for RemoveCallback.
class VELCallback;

// The method a subscriber offers: event is the notification's class name.
typedef void (VELBaseUnknown::*VELCallbackMethod)(const char* event, VELBaseUnknown* publisher,
                                                  VELNotification* notification, void* data,
                                                  VELCallback* callback);

// Subscribes subscriber's method to the notifications of class notificationClass (and of every class
// registered below it) that publisher dispatches. Returns the subscription, or null for null arguments.
// A subscriber that is destroyed is never called again, whether or not it removed its subscriptions.
VELP2P_API VELCallback* AddCallback(VELBaseUnknown* subscriber, VELBaseUnknown* publisher,
                                    const char* notificationClass, VELCallbackMethod method, void* data);

// The same for any method of a class derived from VELBaseUnknown.
template <class T>
VELCallback* AddCallback(T* subscriber, VELBaseUnknown* publisher, const char* notificationClass,
                         void (T::*method)(const char*, VELBaseUnknown*, VELNotification*, void*,
                                           VELCallback*),
                         void* data) {
  return AddCallback(static_cast<VELBaseUnknown*>(subscriber), publisher, notificationClass,
                     static_cast<VELCallbackMethod>(method), data);
}

// Subscribes a function; subscriber only serves to remove the subscription with it (it may be null, then
// only RemoveCallback ends the subscription).
VELP2P_API VELCallback* AddCallback(VELBaseUnknown* subscriber, VELBaseUnknown* publisher,
                                    const char* notificationClass,
                                    std::function<void(VELNotification* notification)> function);

// Ends one subscription. Safe during a dispatch: the subscription is not called afterwards.
VELP2P_API void RemoveCallback(VELCallback* callback);

// Ends every subscription of subscriber.
VELP2P_API void RemoveSubscriber(VELBaseUnknown* subscriber);

// Calls, in subscription order, every callback of publisher whose class the notification is a kind of
// (following the registered bases). Subscriptions made during the dispatch are not called by it. Each
// subscriber is kept alive while it is being called. Returns the number of callbacks called.
int DispatchCallbacks(VELBaseUnknown* publisher, VELNotification* notification);

#endif
