// Frees the memory of a received block, which large blocks take straight from the system.
#ifndef VELP2P_HOST_VELBLOCKRELEASE_H
#define VELP2P_HOST_VELBLOCKRELEASE_H

#include <cstddef>
#include <memory>

// A block of kMapFromBytes or more is a mapping of its own, so that its pages can go back to the system. From
// the heap, a freed buffer of a few MiB would stay with the process: the allocator raises its threshold for
// mapping to the largest mapped buffer freed, takes the next ones from its heap, and keeps what is freed
// there. After a burst of large blocks tens of MB would then stay resident. Freed mappings are kept for the
// next blocks up to 16 MiB (what a sender may have on its way to one destination), since a fresh mapping
// costs a page fault per page, and unmapped beyond that or by VELReleaseKeptBlockBytes.
class VELBlockRelease {
 public:
  static constexpr size_t kMapFromBytes = 64 << 10;

  VELBlockRelease() = default;
  // What std::unique_ptr<char[]> holds is freed as it would have been, so such blocks convert.
  VELBlockRelease(std::default_delete<char[]>) {}
  explicit VELBlockRelease(size_t mapped) : _mapped(mapped) {}

  void operator()(char* bytes) const;

 private:
  size_t _mapped = 0;  // length of the mapping; 0 for memory from new[]
};

using VELBlockBytes = std::unique_ptr<char[], VELBlockRelease>;

// size bytes, not initialised; null when memory ran out.
VELBlockBytes VELNewBlockBytes(size_t size);
// Unmaps the freed mappings kept for the next blocks, once blocks stopped coming.
void VELReleaseKeptBlockBytes();

#endif
