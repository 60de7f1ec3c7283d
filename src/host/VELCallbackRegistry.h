// The tables of subscriptions behind AddCallback and DispatchCallbacks. A publisher's subscriptions live in
// the registry it was given (a node gives its peer one of its own), or in the process's registry for
// publishers that have none, so that each node keeps and drops its own subscriptions.
//
// Re-entrancy: a dispatch works on a snapshot of the matching subscriptions, and a subscription removed
// while any dispatch of its registry runs (by RemoveCallback, or because its subscriber or publisher was
// destroyed) is only marked; marked entries are skipped and freed once the outermost dispatch has returned.
// A subscriber holds one extra reference while it is being called, so that releasing it from inside its own
// callback defers its destruction to the end of the call.
//
// Every object a registry knows (as subscriber or publisher) names the registry in its links, so that its
// destructor reaches each one; a registry that goes first takes itself out of the links of every object it
// knows. A registry, and the objects subscribed in it, belong to one thread.
#ifndef VELP2P_HOST_VELCALLBACKREGISTRY_H
#define VELP2P_HOST_VELCALLBACKREGISTRY_H

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "velp2p/VELNotification.h"

class VELCallbackRegistry;

class VELCallback {
 public:
  VELCallbackRegistry* registry;  // the one that holds it
  VELBaseUnknown* subscriber;     // may be null for function subscriptions
  VELBaseUnknown* publisher;
  std::string notificationClass;
  VELCallbackMethod method;                        // null for function subscriptions
  std::function<void(VELNotification*)> function;  // used when method is null
  void* data;
  bool removed;
};

// What an object knows of the registries: the one its subscribers go to, and every one that knows it.
struct VELCallbackLinks {
  VELCallbackRegistry* published = nullptr;  // null: the process's
  std::vector<VELCallbackRegistry*> known;
};

class VELCallbackRegistry {
 public:
  VELCallbackRegistry() = default;
  // Forgets every subscription and takes itself out of the links of the objects it knows.
  ~VELCallbackRegistry();
  VELCallbackRegistry(const VELCallbackRegistry&) = delete;
  VELCallbackRegistry& operator=(const VELCallbackRegistry&) = delete;

  // The registry of the publishers that were given none.
  static VELCallbackRegistry& Process();
  // Where the subscriptions to publisher are.
  static VELCallbackRegistry& Of(VELBaseUnknown* publisher);
  // Subscriptions to publisher are made here from now on.
  void Publish(VELBaseUnknown* publisher);
  // Every registry that knows the object forgets it; called by its destructor.
  static void ForgetEverywhere(VELBaseUnknown* object);
  // Ends every subscription of subscriber, in every registry.
  static void RemoveEverywhere(VELBaseUnknown* subscriber);

  VELCallback* Add(VELBaseUnknown* subscriber, VELBaseUnknown* publisher, const char* notificationClass,
                   VELCallbackMethod method, std::function<void(VELNotification*)> function, void* data);
  void Remove(VELCallback* callback);
  int Dispatch(VELBaseUnknown* publisher, VELNotification* notification);
  int Size() const;

 private:
  void Link(VELBaseUnknown* object);
  void Forget(VELBaseUnknown* object);
  void RemoveSubscriber(VELBaseUnknown* subscriber);
  void MarkRemoved(VELCallback* callback);
  void Purge();

  std::vector<std::unique_ptr<VELCallback>> _callbacks;  // in subscription order
  std::unordered_set<VELBaseUnknown*> _linked;           // objects whose links name this registry
  int _dispatchDepth = 0;                                // nested dispatches running now
  bool _needsPurge = false;                              // marked entries wait for the outermost dispatch
};

#endif
