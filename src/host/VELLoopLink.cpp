#include "host/VELLoopLink.h"

#include "velp2p/VELApplication.h"

VELLoopLink::VELLoopLink(VELApplication* loop) : _loop(loop) {
  if (loop != nullptr) {
    _life = loop->Life();
  }
}

bool VELLoopLink::Adopt(std::shared_ptr<void> object) const {
  VELApplication* loop = Get();
  return loop != nullptr && loop->Adopt(std::move(object));
}

void VELLoopLink::Drop(const void* object) const {
  if (VELApplication* loop = Get()) {
    loop->Drop(object);
  }
}

int VELLoopLink::Adopted() const {
  VELApplication* loop = Get();
  return loop != nullptr ? loop->Adopted() : 0;
}
