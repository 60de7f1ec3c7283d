// Byte format of a streamed payload. There are no type tags and no header: the reader must perform the
// operations of the writer in the same order.
//
//   StreamByte(b)                 1 byte: b
//   StreamInt(v)                  4 bytes: v as a 32-bit two's-complement integer, little-endian
//   StreamString(s)               the bytes of s, then one zero byte (s itself cannot contain a zero byte)
//   StreamFixedByteArray(p, n)    4 bytes: n, little-endian (0 <= n); then the n bytes at p
//
// A payload made of a single StreamString is thus exactly the text's bytes followed by one zero byte, which
// receivers that read it as a plain zero-terminated text rely on. A payload never exceeds 2^31 - 1 bytes.
//
// Reading checks every field against the bytes given to BeginUnstream: a field that runs past them fails with
// VEL_E_FAIL and consumes nothing; an array length that is negative or larger than the bytes that follow it
// fails at once, so no caller sizes a buffer from a length the payload cannot back.
#include "host/VELBBStreamer.h"

#include <climits>
#include <cstring>

const VELIID IID_VELIBBStreamer = {
    0x7D3A51C2, 0x94E0, 0x4B6F, {0x8A, 0x21, 0x5C, 0x0E, 0x73, 0xB9, 0x46, 0xD8}};

VEL_IMPLEMENT_CLASS(VELBBStreamer, VELBaseUnknown)

VELBBStreamer::VELBBStreamer() : _streaming(false), _streamed(false), _offset(0), _unstreaming(false) {}

VELBBStreamer::~VELBBStreamer() = default;

VELResult VELBBStreamer::QueryInterface(const VELIID& iid, void** object) {
  if (!object)
    return VEL_E_FAIL;
  if (iid == IID_VELIBBStreamer) {
    *object = static_cast<VELIBBStreamer*>(this);
    AddRef();
    return VEL_S_OK;
  }
  return VELBaseUnknown::QueryInterface(iid, object);
}

bool VELBBStreamer::Put(const void* bytes, size_t size) {
  if (!_streaming)
    return false;
  if (static_cast<size_t>(INT_MAX) - _output.size() < size)
    return false;
  const uint8_t* first = static_cast<const uint8_t*>(bytes);
  _output.insert(_output.end(), first, first + size);
  return true;
}

VELResult VELBBStreamer::BeginStream() {
  _output.clear();
  _streaming = true;
  _streamed = false;
  return VEL_S_OK;
}

VELResult VELBBStreamer::StreamByte(unsigned char value) {
  return Put(&value, 1) ? VEL_S_OK : VEL_E_FAIL;
}

VELResult VELBBStreamer::StreamInt(int32_t value) {
  uint32_t bits = static_cast<uint32_t>(value);
  uint8_t bytes[4] = {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                      static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
  return Put(bytes, sizeof(bytes)) ? VEL_S_OK : VEL_E_FAIL;
}

VELResult VELBBStreamer::StreamString(const char* text) {
  if (!text)
    return VEL_E_FAIL;
  // The terminator is written with the text so that a failure leaves no half field behind.
  return Put(text, std::strlen(text) + 1) ? VEL_S_OK : VEL_E_FAIL;
}

VELResult VELBBStreamer::StreamFixedByteArray(const void* bytes, int length) {
  if (length < 0 || (!bytes && length > 0) || !_streaming)
    return VEL_E_FAIL;
  if (static_cast<size_t>(INT_MAX) - _output.size() < static_cast<size_t>(length) + 4)
    return VEL_E_FAIL;
  StreamInt(length);
  if (length > 0)
    Put(bytes, static_cast<size_t>(length));
  return VEL_S_OK;
}

void* VELBBStreamer::EndStream(int& length) {
  length = 0;
  if (!_streaming)
    return nullptr;
  _streaming = false;
  _streamed = true;
  length = static_cast<int>(_output.size());
  // An empty payload still gets a valid address: callers take null for a failure.
  static uint8_t emptyPayload = 0;
  return _output.empty() ? &emptyPayload : _output.data();
}

VELResult VELBBStreamer::ReleaseStreamedBuffer() {
  if (!_streamed)
    return VEL_E_FAIL;
  _streamed = false;
  std::vector<uint8_t>().swap(_output);
  return VEL_S_OK;
}

const uint8_t* VELBBStreamer::Take(size_t size) {
  if (!_unstreaming || Remaining() < size)
    return nullptr;
  const uint8_t* at = _input.data() + _offset;
  _offset += size;
  return at;
}

VELResult VELBBStreamer::BeginUnstream(const void* payload, int length) {
  if (length < 0 || (!payload && length > 0))
    return VEL_E_FAIL;
  const uint8_t* first = static_cast<const uint8_t*>(payload);
  if (length > 0) {
    _input.assign(first, first + length);
  } else {
    _input.clear();
  }
  _offset = 0;
  _unstreaming = true;
  return VEL_S_OK;
}

VELResult VELBBStreamer::UnstreamByte(unsigned char& value) {
  const uint8_t* at = Take(1);
  if (!at)
    return VEL_E_FAIL;
  value = at[0];
  return VEL_S_OK;
}

VELResult VELBBStreamer::UnstreamInt(int32_t& value) {
  const uint8_t* at = Take(4);
  if (!at)
    return VEL_E_FAIL;
  uint32_t bits = static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
                  (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
  value = static_cast<int32_t>(bits);
  return VEL_S_OK;
}

VELResult VELBBStreamer::UnstreamString(std::string& text) {
  if (!_unstreaming)
    return VEL_E_FAIL;
  const uint8_t* start = _input.data() + _offset;
  const void* terminator = Remaining() > 0 ? std::memchr(start, 0, Remaining()) : nullptr;
  if (!terminator)
    return VEL_E_FAIL;
  size_t size = static_cast<size_t>(static_cast<const uint8_t*>(terminator) - start);
  text.assign(reinterpret_cast<const char*>(start), size);
  _offset += size + 1;
  return VEL_S_OK;
}

VELResult VELBBStreamer::UnstreamVariableArrayLength(int& length) {
  if (!_unstreaming || Remaining() < 4)
    return VEL_E_FAIL;
  size_t start = _offset;
  int32_t declared = 0;
  UnstreamInt(declared);
  if (declared < 0 || Remaining() < static_cast<size_t>(declared)) {
    _offset = start;
    return VEL_E_FAIL;
  }
  length = declared;
  return VEL_S_OK;
}

VELResult VELBBStreamer::UnstreamFixedByteArray(void* buffer, int length) {
  if (length < 0 || (!buffer && length > 0))
    return VEL_E_FAIL;
  const uint8_t* at = Take(static_cast<size_t>(length));
  if (!at)
    return VEL_E_FAIL;
  if (length > 0)
    std::memcpy(buffer, at, static_cast<size_t>(length));
  return VEL_S_OK;
}

VELResult VELBBStreamer::EndUnstream() {
  if (!_unstreaming)
    return VEL_E_FAIL;
  _unstreaming = false;
  std::vector<uint8_t>().swap(_input);
  _offset = 0;
  return VEL_S_OK;
}
