#include "velp2p/VELClassRegistry.h"

#include <map>
#include <memory>
#include <string>

namespace {

struct CreateExtension {
  VELCreateFunction create;
  std::unique_ptr<VELMetaClass> meta;  // kind extension, extended class = the created class
};

// Function-local and never destroyed: registrars run during static initialisation of every source file,
// in an order the language leaves open, and lookups may come during static destruction.
std::map<std::string, CreateExtension>& Extensions() {
  static auto* extensions = new std::map<std::string, CreateExtension>();
  return *extensions;
}

}  // namespace

VELCreateFunction VELRegisterCreateExtension(const char* className, VELCreateFunction create) {
  if (!className || !create)
    return nullptr;
  auto& extensions = Extensions();
  auto found = extensions.find(className);
  if (found != extensions.end()) {
    VELCreateFunction previous = found->second.create;
    found->second.create = create;
    return previous;
  }
  std::string extensionName = std::string(className) + "_CreateExt";
  CreateExtension extension{
      create, std::make_unique<VELMetaClass>(extensionName.c_str(), VELBaseUnknown::MetaObject(),
                                             VELKindExtension, className)};
  extensions.emplace(className, std::move(extension));
  return nullptr;
}

VELCreateFunction VELUnregisterCreateExtension(const char* className) {
  if (!className)
    return nullptr;
  auto& extensions = Extensions();
  auto found = extensions.find(className);
  if (found == extensions.end())
    return nullptr;
  VELCreateFunction previous = found->second.create;
  extensions.erase(found);
  return previous;
}

const VELMetaClass* VELFindCreateExtension(const char* className) {
  if (!className)
    return nullptr;
  auto& extensions = Extensions();
  auto found = extensions.find(className);
  return found == extensions.end() ? nullptr : found->second.meta.get();
}

VELResult VELCreateClassInstance(const char* className, VELIUnknown*, int, const VELIID& iid, void** object) {
  if (!object)
    return VEL_E_FAIL;
  *object = nullptr;
  if (!className)
    return VEL_E_CLASSNOTREG;
  auto& extensions = Extensions();
  auto found = extensions.find(className);
  if (found == extensions.end())
    return VEL_E_CLASSNOTREG;
  VELBaseUnknown* created = found->second.create();
  if (!created)
    return VEL_E_OUTOFMEMORY;
  VELResult result = created->QueryInterface(iid, object);
  created->Release();  // the query's reference is the caller's
  return result;
}

VELClassRegistrar::VELClassRegistrar(const char* className, VELCreateFunction create) {
  VELRegisterCreateExtension(className, create);
}
