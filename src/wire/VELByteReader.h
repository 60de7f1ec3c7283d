// A bounded cursor over received bytes: every read checks what is left before touching memory.
#ifndef VELP2P_WIRE_VELBYTEREADER_H
#define VELP2P_WIRE_VELBYTEREADER_H

#include <cstddef>
#include <cstdint>

// Each read either succeeds completely and advances, or fails and leaves the cursor where it was. The checks
// compare what is left with what is wanted (a subtraction), so no offset arithmetic can wrap around.
class VELByteReader {
 public:
  VELByteReader(const uint8_t* data, size_t size) : _data(data), _size(data ? size : 0), _offset(0) {}

  size_t Offset() const { return _offset; }
  size_t Size() const { return _size; }
  size_t Remaining() const { return _size - _offset; }

  [[nodiscard]] bool ReadU8(uint8_t& value) {
    if (Remaining() < 1)
      return false;
    value = _data[_offset];
    _offset += 1;
    return true;
  }

  [[nodiscard]] bool ReadU16BE(uint16_t& value) {
    if (Remaining() < 2)
      return false;
    const uint8_t* p = _data + _offset;
    value = static_cast<uint16_t>((p[0] << 8) | p[1]);
    _offset += 2;
    return true;
  }

  [[nodiscard]] bool ReadU32BE(uint32_t& value) {
    if (Remaining() < 4)
      return false;
    const uint8_t* p = _data + _offset;
    value = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
            (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
    _offset += 4;
    return true;
  }

  [[nodiscard]] bool ReadU32LE(uint32_t& value) {
    if (Remaining() < 4)
      return false;
    const uint8_t* p = _data + _offset;
    value = (static_cast<uint32_t>(p[3]) << 24) | (static_cast<uint32_t>(p[2]) << 16) |
            (static_cast<uint32_t>(p[1]) << 8) | static_cast<uint32_t>(p[0]);
    _offset += 4;
    return true;
  }

  // Hands out a pointer to the next count bytes inside the buffer; nothing is copied.
  [[nodiscard]] bool ReadBytes(size_t count, const uint8_t*& bytes) {
    if (Remaining() < count)
      return false;
    bytes = _data + _offset;
    _offset += count;
    return true;
  }

  [[nodiscard]] bool Skip(size_t count) {
    if (Remaining() < count)
      return false;
    _offset += count;
    return true;
  }

  // Moves the cursor to an absolute offset, which may be the very end.
  [[nodiscard]] bool Seek(size_t offset) {
    if (offset > _size)
      return false;
    _offset = offset;
    return true;
  }

 private:
  const uint8_t* _data;
  size_t _size;    // bytes readable from _data
  size_t _offset;  // the next byte to read
};

#endif
