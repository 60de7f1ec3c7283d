#include "host/VELBlockRelease.h"

#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <vector>

#include "host/VELSystemCalls.h"

namespace {

// A few freed mappings are kept for the next blocks: the pages of a fresh mapping each cost a fault on first
// touch, which for a stream of large blocks costs more than the copy from the kernel.
constexpr size_t kKeptBytes = 16 << 20;  // what a sender may have on its way to one destination

struct Mapping {
  char* bytes;
  size_t length;
};

class KeptMappings {
 public:
  // One at least length long but not twice as long, or null.
  Mapping Take(size_t length) {
    std::lock_guard<std::mutex> lock(_mutex);
    for (auto kept = _mappings.begin(); kept != _mappings.end(); ++kept) {
      if (kept->length >= length && kept->length / 2 < length) {
        Mapping found = *kept;
        _bytes -= found.length;
        _mappings.erase(kept);
        return found;
      }
    }
    return Mapping{nullptr, 0};
  }
  void Give(char* bytes, size_t length) {
    {
      std::lock_guard<std::mutex> lock(_mutex);
      if (_bytes + length <= kKeptBytes) {
        _mappings.push_back(Mapping{bytes, length});
        _bytes += length;
        return;
      }
    }
    VELSys(munmap(bytes, length));
  }
  void Release() {
    std::vector<Mapping> released;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      released.swap(_mappings);
      _bytes = 0;
    }
    for (const Mapping& mapping : released) {
      VELSys(munmap(mapping.bytes, mapping.length));
    }
  }

 private:
  std::mutex _mutex;
  std::vector<Mapping> _mappings;
  size_t _bytes = 0;
};

// Never destroyed: a block may be freed during the exit, after the static objects are gone.
KeptMappings& Kept() {
  static KeptMappings* kept = new KeptMappings();
  return *kept;
}

}  // namespace

void VELBlockRelease::operator()(char* bytes) const {
  if (_mapped != 0) {
    Kept().Give(bytes, _mapped);
  } else {
    delete[] bytes;
  }
}

void VELReleaseKeptBlockBytes() {
  Kept().Release();
}

VELBlockBytes VELNewBlockBytes(size_t size) {
  if (size < VELBlockRelease::kMapFromBytes) {
    return VELBlockBytes(new (std::nothrow) char[size > 0 ? size : 1]);
  }
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t length = (size + page - 1) / page * page;
  Mapping kept = Kept().Take(length);
  if (kept.bytes != nullptr) {
    return VELBlockBytes(kept.bytes, VELBlockRelease(kept.length));
  }
  void* bytes = VELSys(mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (bytes == MAP_FAILED) {
    return VELBlockBytes();
  }
  return VELBlockBytes(static_cast<char*>(bytes), VELBlockRelease(length));
}
