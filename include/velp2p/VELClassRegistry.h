// Creation of objects by class name, through creation extensions registered when the library loads.
#ifndef VELP2P_VELCLASSREGISTRY_H
#define VELP2P_VELCLASSREGISTRY_H

#include "velp2p/VELBaseUnknown.h"

typedef VELBaseUnknown* (*VELCreateFunction)();

// Registers the creation extension of className (named className + "_CreateExt"); a later registration of
// the same name replaces the earlier one. Returns the function it replaced, or null. Applications and tests
// use it to make classes of their own creatable by name.
VELP2P_API VELCreateFunction VELRegisterCreateExtension(const char* className, VELCreateFunction create);

// Removes the creation extension of className; returns the function it had, or null.
VELP2P_API VELCreateFunction VELUnregisterCreateExtension(const char* className);

// The metaclass of the creation extension of className, or null when none is registered.
VELP2P_API const VELMetaClass* VELFindCreateExtension(const char* className);

// Creates an object of the class registered under className and queries it for iid. On success *object
// holds the interface with one reference. VEL_E_CLASSNOTREG when no such class is registered,
// VEL_E_OUTOFMEMORY when the creation fails, the query's result when the interface is absent.
VELP2P_API VELResult VELCreateClassInstance(const char* className, VELIUnknown* outer, int context,
                                            const VELIID& iid, void** object);

// Registers a class's creation extension from a static object in the class's source file.
struct VELP2P_API VELClassRegistrar {
  VELClassRegistrar(const char* className, VELCreateFunction create);
};

#define VEL_IMPLEMENT_CREATE_EXT(Cls)        \
  static VELBaseUnknown* Cls##_CreateExt() { \
    return new (std::nothrow) Cls();         \
  }                                          \
  static VELClassRegistrar Cls##_registrar(#Cls, &Cls##_CreateExt);

#endif
