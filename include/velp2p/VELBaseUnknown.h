// The reference-counted base of every object of the library, with its place in the class registry.
#ifndef VELP2P_VELBASEUNKNOWN_H
#define VELP2P_VELBASEUNKNOWN_H

#include "velp2p/VELIUnknown.h"
#include "velp2p/VELMetaClass.h"

struct VELCallbackLinks;

class VELP2P_API VELBaseUnknown : public VELIUnknown {
 public:
  static const char* ClassName();
  static const VELIID& ClassId();
  static VELMetaClass* MetaObject();
  static VELBaseUnknown* CreateItself();

  VELBaseUnknown();
  // A copy is a new object: it starts with one reference and no subscriptions.
  VELBaseUnknown(const VELBaseUnknown& other);
  VELBaseUnknown& operator=(const VELBaseUnknown& other);

  unsigned long AddRef() override;
  // Deletes the object when the count reaches zero.
  unsigned long Release() override;
  // Answers IID_VELIUnknown with this object; derived classes add their interfaces.
  VELResult QueryInterface(const VELIID& iid, void** object) override;

  virtual const char* IsA() const;
  virtual int IsAKindOf(const char* name) const;
  virtual VELMetaClass* GetMetaObject() const;

  unsigned long GetRefCount() const { return _refCount; }

 protected:
  ~VELBaseUnknown() override;

 private:
  friend class VELCallbackRegistry;
  unsigned long _refCount;
  VELCallbackLinks* _links;  // the callback registries that know this object; owned, null when none
};

// Lets a class that implements an interface (itself derived from VELIUnknown) use the counting and the
// query of its VELBaseUnknown base for both.
#define VEL_FORWARD_IUNKNOWN(Base)                                      \
  unsigned long AddRef() override {                                     \
    return Base::AddRef();                                              \
  }                                                                     \
  unsigned long Release() override {                                    \
    return Base::Release();                                             \
  }                                                                     \
  VELResult QueryInterface(const VELIID& iid, void** object) override { \
    return Base::QueryInterface(iid, object);                           \
  }

#endif
