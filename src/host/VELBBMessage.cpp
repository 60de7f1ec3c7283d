#include "host/VELBBMessage.h"

#include <new>

#include "host/VELBBStreamer.h"

VEL_IMPLEMENT_CLASS(VELBBMessage, VELBaseUnknown)

VELBBMessage::VELBBMessage() = default;

VELBBMessage::~VELBBMessage() = default;

VELResult VELBBMessage::QueryInterface(const VELIID& iid, void** object) {
  if (!object)
    return VEL_E_FAIL;
  if (iid == IID_VELIBBStreamer) {
    VELBBStreamer* streamer = new (std::nothrow) VELBBStreamer();
    if (!streamer) {
      *object = nullptr;
      return VEL_E_OUTOFMEMORY;
    }
    *object = static_cast<VELIBBStreamer*>(streamer);
    return VEL_S_OK;
  }
  return VELBaseUnknown::QueryInterface(iid, object);
}
