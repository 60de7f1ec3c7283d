#include "host/VELCallbackRegistry.h"

#include <algorithm>

VELCallbackRegistry::~VELCallbackRegistry() {
  for (VELBaseUnknown* object : _linked) {
    VELCallbackLinks* links = object->_links;
    if (!links)
      continue;
    links->known.erase(std::remove(links->known.begin(), links->known.end(), this), links->known.end());
    if (links->published == this)
      links->published = nullptr;
  }
}

VELCallbackRegistry& VELCallbackRegistry::Process() {
  // Never destroyed: objects released during static destruction at exit may still reach it.
  static VELCallbackRegistry* process = new VELCallbackRegistry();
  return *process;
}

VELCallbackRegistry& VELCallbackRegistry::Of(VELBaseUnknown* publisher) {
  VELCallbackLinks* links = publisher ? publisher->_links : nullptr;
  return links && links->published ? *links->published : Process();
}

void VELCallbackRegistry::Publish(VELBaseUnknown* publisher) {
  if (!publisher)
    return;
  Link(publisher);
  publisher->_links->published = this;
}

void VELCallbackRegistry::Link(VELBaseUnknown* object) {
  if (!object->_links)
    object->_links = new VELCallbackLinks();
  VELCallbackLinks& links = *object->_links;
  if (std::find(links.known.begin(), links.known.end(), this) == links.known.end())
    links.known.push_back(this);
  _linked.insert(object);
}

void VELCallbackRegistry::ForgetEverywhere(VELBaseUnknown* object) {
  VELCallbackLinks* links = object->_links;
  if (!links)
    return;
  object->_links = nullptr;
  for (VELCallbackRegistry* registry : links->known)
    registry->Forget(object);
  delete links;
}

void VELCallbackRegistry::RemoveEverywhere(VELBaseUnknown* subscriber) {
  if (!subscriber || !subscriber->_links)
    return;
  // A copy: a registry never unlinks itself here, but a callback could not run meanwhile either.
  const std::vector<VELCallbackRegistry*> known = subscriber->_links->known;
  for (VELCallbackRegistry* registry : known)
    registry->RemoveSubscriber(subscriber);
}

VELCallback* VELCallbackRegistry::Add(VELBaseUnknown* subscriber, VELBaseUnknown* publisher,
                                      const char* notificationClass, VELCallbackMethod method,
                                      std::function<void(VELNotification*)> function, void* data) {
  if (!publisher || !notificationClass || (!method && !function) || (method && !subscriber))
    return nullptr;
  auto callback = std::make_unique<VELCallback>();
  callback->registry = this;
  callback->subscriber = subscriber;
  callback->publisher = publisher;
  callback->notificationClass = notificationClass;
  callback->method = method;
  callback->function = std::move(function);
  callback->data = data;
  callback->removed = false;
  if (subscriber)
    Link(subscriber);
  Link(publisher);
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
  for (auto& c : _callbacks) {
    if (c->subscriber == subscriber)
      MarkRemoved(c.get());
  }
  Purge();
}

void VELCallbackRegistry::Forget(VELBaseUnknown* object) {
  _linked.erase(object);
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
