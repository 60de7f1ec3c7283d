#include "velp2p/VELNotification.h"

#include "host/VELCallbackRegistry.h"

VEL_IMPLEMENT_CLASS_EXT(VELNotification, VELBaseUnknown, "VELNull")

VELNotification::VELNotification(int) {}

VELNotification::~VELNotification() = default;

VELCallback* AddCallback(VELBaseUnknown* subscriber, VELBaseUnknown* publisher, const char* notificationClass,
                         VELCallbackMethod method, void* data) {
  if (!method)
    return nullptr;
  return VELCallbackRegistry::Of(publisher).Add(subscriber, publisher, notificationClass, method, nullptr,
                                                data);
}

VELCallback* AddCallback(VELBaseUnknown* subscriber, VELBaseUnknown* publisher, const char* notificationClass,
                         std::function<void(VELNotification*)> function) {
  if (!function)
    return nullptr;
  return VELCallbackRegistry::Of(publisher).Add(subscriber, publisher, notificationClass, nullptr,
                                                std::move(function), nullptr);
}

void RemoveCallback(VELCallback* callback) {
  if (callback)
    callback->registry->Remove(callback);
}

void RemoveSubscriber(VELBaseUnknown* subscriber) {
  VELCallbackRegistry::RemoveEverywhere(subscriber);
}

int DispatchCallbacks(VELBaseUnknown* publisher, VELNotification* notification) {
  return VELCallbackRegistry::Of(publisher).Dispatch(publisher, notification);
}
