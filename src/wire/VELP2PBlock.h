// One received wire block that its holder owns: the bytes as they arrived and how many there are.
#ifndef VELP2P_WIRE_VELP2PBLOCK_H
#define VELP2P_WIRE_VELP2PBLOCK_H

#include <cstring>
#include <memory>
#include <new>

#include "host/VELBlockRelease.h"

struct VELP2PBlock {
  VELBlockBytes bytes;
  int size = 0;

  VELP2PBlock() = default;
  VELP2PBlock(VELBlockBytes owned, int length) : bytes(std::move(owned)), size(length) {}

  // A copy of size bytes at data; empty when size is negative or memory runs out.
  static VELP2PBlock Copy(const char* data, int size) {
    if (size < 0 || (size > 0 && !data))
      return VELP2PBlock();
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size > 0 ? size : 1]);
    if (!copy)
      return VELP2PBlock();
    if (size > 0)
      std::memcpy(copy.get(), data, static_cast<size_t>(size));
    return VELP2PBlock(std::move(copy), size);
  }

  explicit operator bool() const { return bytes != nullptr; }
};

#endif
