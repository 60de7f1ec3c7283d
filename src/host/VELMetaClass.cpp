#include "velp2p/VELMetaClass.h"

#include <cstring>

namespace {

// FNV-1a spread over 16 bytes: identifiers only need to be stable and distinct per name.
VELIID IdentifierFromName(const std::string& name) {
  VELIID id{};
  uint8_t bytes[16];
  uint64_t h1 = 1469598103934665603ULL;
  uint64_t h2 = 1099511628211ULL ^ 0x9e3779b97f4a7c15ULL;
  for (unsigned char c : name) {
    h1 = (h1 ^ c) * 1099511628211ULL;
    h2 = (h2 ^ c) * 0x100000001b3ULL + 0x2545F4914F6CDD1DULL;
  }
  std::memcpy(bytes, &h1, 8);
  std::memcpy(bytes + 8, &h2, 8);
  std::memcpy(&id, bytes, sizeof(id));
  return id;
}

}  // namespace

VELMetaClass::VELMetaClass(const char* name, const VELMetaClass* registeredBase, VELClassKind kind,
                           const char* extendedClass, const char* framework)
    : _name(name ? name : ""),
      _base(registeredBase),
      _kind(kind),
      _extendedClass(extendedClass ? extendedClass : "VELnull"),
      _framework(framework ? framework : "Communications"),
      _classId(IdentifierFromName(_name)) {}

bool VELMetaClass::IsAKindOf(const char* name) const {
  if (!name)
    return false;
  for (const VELMetaClass* meta = this; meta; meta = meta->_base) {
    if (meta->_name == name)
      return true;
  }
  return false;
}
