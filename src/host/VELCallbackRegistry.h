// The table of subscriptions behind AddCallback and DispatchCallbacks.
//
// Re-entrancy: a dispatch works on a snapshot of the matching subscriptions, and a subscription removed
// while any dispatch runs (by RemoveCallback, or because its subscriber or publisher was destroyed) is
// only marked; marked entries are skipped and freed once the outermost dispatch has returned. A
// subscriber holds one extra reference while it is being called, so that releasing it from inside its own
// callback defers its destruction to the end of the call.
#ifndef VELP2P_HOST_VELCALLBACKREGISTRY_H
#define VELP2P_HOST_VELCALLBACKREGISTRY_H

#include <memory>
#include <string>
#include <vector>

#include "velp2p/VELNotification.h"

class VELCallback {
 public:
  VELBaseUnknown* subscriber;  // may be null for function subscriptions
  VELBaseUnknown* publisher;
  std::string notificationClass;
  VELCallbackMethod method;                        // null for function subscriptions
  std::function<void(VELNotification*)> function;  // used when method is null
  void* data;
  bool removed;
};

class VELCallbackRegistry {
 public:
  static VELCallbackRegistry& Instance();

  VELCallback* Add(VELBaseUnknown* subscriber, VELBaseUnknown* publisher, const char* notificationClass,
                   VELCallbackMethod method, std::function<void(VELNotification*)> function, void* data);
  void Remove(VELCallback* callback);
  void RemoveSubscriber(VELBaseUnknown* subscriber);
  // Called by the destructor of an object the registry knows, as subscriber or as publisher.
  void ForgetObject(VELBaseUnknown* object);
  int Dispatch(VELBaseUnknown* publisher, VELNotification* notification);
  int Size() const;

 private:
  void MarkRemoved(VELCallback* callback);
  void Purge();

  std::vector<std::unique_ptr<VELCallback>> _callbacks;  // in subscription order
  int _dispatchDepth = 0;                                // nested dispatches running now
  bool _needsPurge = false;                              // marked entries wait for the outermost dispatch
};

#endif
