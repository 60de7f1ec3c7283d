#include "host/VELBlockRelease.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

void VELBlockRelease::operator()(char* bytes) const {
  if (_mapped != 0) {
    munmap(bytes, _mapped);
  } else {
    delete[] bytes;
  }
}

VELBlockBytes VELNewBlockBytes(size_t size) {
  if (size < VELBlockRelease::kMapFromBytes) {
    return VELBlockBytes(new (std::nothrow) char[size > 0 ? size : 1]);
  }
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t mapped = (size + page - 1) / page * page;
  void* bytes = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (bytes == MAP_FAILED) {
    return VELBlockBytes();
  }
  return VELBlockBytes(static_cast<char*>(bytes), VELBlockRelease(mapped));
}
