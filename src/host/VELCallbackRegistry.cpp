#include "host/VELCallbackRegistry.h"

#include <algorithm>

VELCallbackRegistry& VELCallbackRegistry::Instance() {
  // Never destroyed: objects released during static destruction at exit may still reach it.
  static VELCallbackRegistry* instance = new VELCallbackRegistry();
  return *instance;
}

VELCallback* VELCallbackRegistry::Add(VELBaseUnknown* subscriber, VELBaseUnknown* publisher,
                                      const char* notificationClass, VELCallbackMethod method,
                                      std::function<void(VELNotification*)> function, void* data) {
  if (!publisher || !notificationClass || (!method && !function) || (method && !subscriber))
    return nullptr;
  auto callback = std::make_unique<VELCallback>();
  callback->subscriber = subscriber;
  callback->publisher = publisher;
  callback->notificationClass = notificationClass;
  callback->method = method;
  callback->function = std::move(function);
  callback->data = data;
  callback->removed = false;
  if (subscriber)
    subscriber->_inCallbacks = true;
  publisher->_inCallbacks = true;
  _callbacks.push_back(std::move(callback));
  return _callbacks.back().get();
}

void VELCallbackRegistry::MarkRemoved(VELCallback* callback) {
  callback->removed = true;
  _needsPurge = true;
}

void VELCallbackRegistry::Purge() {
  if (_dispatchDepth > 0 || !_needsPurge)
    return;
  _callbacks.erase(std::remove_if(_callbacks.begin(), _callbacks.end(),
                                  [](const std::unique_ptr<VELCallback>& c) { return c->removed; }),
                   _callbacks.end());
  _needsPurge = false;
}

void VELCallbackRegistry::Remove(VELCallback* callback) {
  for (auto& c : _callbacks) {
    if (c.get() == callback) {
      MarkRemoved(c.get());
      break;
    }
  }
  Purge();
}

void VELCallbackRegistry::RemoveSubscriber(VELBaseUnknown* subscriber) {
  if (!subscriber)
    return;
  for (auto& c : _callbacks) {
    if (c->subscriber == subscriber)
      MarkRemoved(c.get());
  }
  Purge();
}

void VELCallbackRegistry::ForgetObject(VELBaseUnknown* object) {
  for (auto& c : _callbacks) {
    if (c->subscriber == object || c->publisher == object)
      MarkRemoved(c.get());
  }
  Purge();
}

int VELCallbackRegistry::Dispatch(VELBaseUnknown* publisher, VELNotification* notification) {
  if (!publisher || !notification)
    return 0;
  std::vector<VELCallback*> snapshot;
  for (auto& c : _callbacks) {
    if (!c->removed && c->publisher == publisher && notification->IsAKindOf(c->notificationClass.c_str())) {
      snapshot.push_back(c.get());
    }
  }
  int called = 0;
  ++_dispatchDepth;
  for (VELCallback* c : snapshot) {
    if (c->removed)
      continue;
    VELBaseUnknown* subscriber = c->subscriber;
    if (subscriber)
      subscriber->AddRef();
    if (c->method) {
      (subscriber->*(c->method))(notification->IsA(), publisher, notification, c->data, c);
    } else {
      c->function(notification);
    }
    ++called;
    if (subscriber)
      subscriber->Release();
  }
  --_dispatchDepth;
  Purge();
  return called;
}

int VELCallbackRegistry::Size() const {
  int live = 0;
  for (auto& c : _callbacks)
    live += c->removed ? 0 : 1;
  return live;
}
