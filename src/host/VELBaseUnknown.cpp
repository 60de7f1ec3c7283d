#include "velp2p/VELBaseUnknown.h"

#include "host/VELCallbackRegistry.h"

const VELIID IID_VELIUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

const char* VELBaseUnknown::ClassName() {
  return "VELBaseUnknown";
}

VELMetaClass* VELBaseUnknown::MetaObject() {
  static VELMetaClass* meta = new VELMetaClass("VELBaseUnknown", nullptr, VELKindImplementation);
  return meta;
}

const VELIID& VELBaseUnknown::ClassId() {
  return MetaObject()->GetClassId();
}

VELBaseUnknown* VELBaseUnknown::CreateItself() {
  return nullptr;
}

VELBaseUnknown::VELBaseUnknown() : _refCount(1), _links(nullptr) {}

VELBaseUnknown::VELBaseUnknown(const VELBaseUnknown&) : VELIUnknown(), _refCount(1), _links(nullptr) {}

VELBaseUnknown& VELBaseUnknown::operator=(const VELBaseUnknown&) {
  return *this;
}

VELBaseUnknown::~VELBaseUnknown() {
  VELCallbackRegistry::ForgetEverywhere(this);
}

unsigned long VELBaseUnknown::AddRef() {
  return ++_refCount;
}

unsigned long VELBaseUnknown::Release() {
  if (_refCount == 0)
    return 0;
  unsigned long remaining = --_refCount;
  if (remaining == 0)
    delete this;
  return remaining;
}

VELResult VELBaseUnknown::QueryInterface(const VELIID& iid, void** object) {
  if (!object)
    return VEL_E_FAIL;
  if (iid == IID_VELIUnknown) {
    *object = static_cast<VELIUnknown*>(this);
    AddRef();
    return VEL_S_OK;
  }
  *object = nullptr;
  return VEL_E_NOINTERFACE;
}

const char* VELBaseUnknown::IsA() const {
  return "VELBaseUnknown";
}

int VELBaseUnknown::IsAKindOf(const char* name) const {
  return GetMetaObject()->IsAKindOf(name) ? 1 : 0;
}

VELMetaClass* VELBaseUnknown::GetMetaObject() const {
  return MetaObject();
}
