#include "host/VELReadyDescriptor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>

VELReadyDescriptor::VELReadyDescriptor()
    : _set(epoll_create1(EPOLL_CLOEXEC)), _raised(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), _isRaised(false) {
  if (!Valid() || !Watch(_raised)) {
    for (int descriptor : {_set, _raised}) {
      if (descriptor >= 0)
        close(descriptor);
    }
    _set = _raised = -1;
  }
}

VELReadyDescriptor::~VELReadyDescriptor() {
  for (int descriptor : {_set, _raised}) {
    if (descriptor >= 0)
      close(descriptor);
  }
}

bool VELReadyDescriptor::Watch(int descriptor) {
  if (_set < 0 || descriptor < 0)
    return false;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = descriptor;
  return epoll_ctl(_set, EPOLL_CTL_ADD, descriptor, &event) == 0;
}

void VELReadyDescriptor::Unwatch(int descriptor) {
  if (_set >= 0 && descriptor >= 0)
    epoll_ctl(_set, EPOLL_CTL_DEL, descriptor, nullptr);
}

void VELReadyDescriptor::Raise() {
  if (_isRaised || _raised < 0)
    return;
  const uint64_t one = 1;
  _isRaised = write(_raised, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one));
}

void VELReadyDescriptor::Lower() {
  if (!_isRaised)
    return;
  uint64_t count = 0;
  (void)!read(_raised, &count, sizeof(count));
  _isRaised = false;
}
