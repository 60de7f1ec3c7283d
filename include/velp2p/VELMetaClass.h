// The description of a registered class: its name, its registered base and its kind.
#ifndef VELP2P_VELMETACLASS_H
#define VELP2P_VELMETACLASS_H

#include <string>

#include "velp2p/VELExport.h"
#include "velp2p/VELIID.h"

enum VELClassKind {
  VELKindImplementation = 1,
  VELKindExtension = 2,
  VELKindInterface = 3,
  VELKindAdapter = 4,
};

class VELP2P_API VELMetaClass {
 public:
  // The registered base drives IsAKindOf; it may differ from the C++ base (the endpoints register
  // VELBaseUnknown as theirs, so they are not a kind of VELP2PEndPoint for the registry).
  VELMetaClass(const char* name, const VELMetaClass* registeredBase, VELClassKind kind,
               const char* extendedClass = "VELnull", const char* framework = "Communications");

  const char* GetName() const { return _name.c_str(); }
  const VELMetaClass* GetBase() const { return _base; }
  VELClassKind GetKind() const { return _kind; }
  const char* GetExtendedClass() const { return _extendedClass.c_str(); }
  const char* GetFramework() const { return _framework.c_str(); }
  const VELIID& GetClassId() const { return _classId; }

  // True when name is this class's own or that of a registered base, up to VELBaseUnknown.
  bool IsAKindOf(const char* name) const;

 private:
  std::string _name;
  const VELMetaClass* _base;  // registered base, null for VELBaseUnknown
  VELClassKind _kind;
  std::string _extendedClass;  // for a creation extension, the class it creates
  std::string _framework;
  VELIID _classId;  // derived from the name, stable across processes
};

// Declares the class-registry operations inside a class body; follow it with an access specifier.
#define VEL_DECLARE_CLASS(Cls)       \
 public:                             \
  static const char* ClassName();    \
  static const VELIID& ClassId();    \
  static VELMetaClass* MetaObject(); \
  static Cls* CreateItself();        \
  const char* IsA() const override;  \
  VELMetaClass* GetMetaObject() const override;

// Defines them in one source file. RegisteredBase is a class type with MetaObject().
#define VEL_IMPLEMENT_CLASS_EXT(Cls, RegisteredBase, Marker)                                 \
  const char* Cls::ClassName() {                                                             \
    return #Cls;                                                                             \
  }                                                                                          \
  VELMetaClass* Cls::MetaObject() {                                                          \
    /* Never destroyed: notifications may still be dispatched by exit hooks. */              \
    static VELMetaClass* meta =                                                              \
        new VELMetaClass(#Cls, RegisteredBase::MetaObject(), VELKindImplementation, Marker); \
    return meta;                                                                             \
  }                                                                                          \
  const VELIID& Cls::ClassId() {                                                             \
    return MetaObject()->GetClassId();                                                       \
  }                                                                                          \
  Cls* Cls::CreateItself() {                                                                 \
    return nullptr;                                                                          \
  }                                                                                          \
  const char* Cls::IsA() const {                                                             \
    return #Cls;                                                                             \
  }                                                                                          \
  VELMetaClass* Cls::GetMetaObject() const {                                                 \
    return MetaObject();                                                                     \
  }

#define VEL_IMPLEMENT_CLASS(Cls, RegisteredBase) VEL_IMPLEMENT_CLASS_EXT(Cls, RegisteredBase, "VELnull")

#endif
