// Reads a payload with the streamer, field by field as a script in the input's first bytes says, then writes
// what was read and reads it back: every field must come back as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/VELBBStreamer.h"

namespace {

struct Field {
  int kind;
  int32_t number;
  std::string bytes;
  bool operator==(const Field& other) const {
    return kind == other.kind && number == other.number && bytes == other.bytes;
  }
};

void Check(bool condition) {
  if (!condition)
    std::abort();
}

// Reads fields as script says (one byte per field: the kind in the low bits, a fixed array's size above
// them).
std::vector<Field> ReadAll(VELBBStreamer& streamer, const uint8_t* script, size_t steps) {
  std::vector<Field> fields;
  for (size_t i = 0; i < steps; ++i) {
    Field field{script[i] & 3, 0, {}};
    bool read = false;
    if (field.kind == 0) {
      unsigned char value = 0;
      read = streamer.UnstreamByte(value) == VEL_S_OK;
      field.number = value;
    } else if (field.kind == 1) {
      read = streamer.UnstreamInt(field.number) == VEL_S_OK;
    } else if (field.kind == 2) {
      read = streamer.UnstreamString(field.bytes) == VEL_S_OK;
    } else {
      int length = script[i] >> 2;
      int declared = 0;
      // A declared length the payload cannot hold must fail and leave the position alone.
      if (streamer.UnstreamVariableArrayLength(declared) == VEL_S_OK)
        length = declared;
      field.bytes.assign(static_cast<size_t>(length), '\0');
      read = streamer.UnstreamFixedByteArray(&field.bytes[0], length) == VEL_S_OK;
    }
    if (!read)
      break;
    fields.push_back(field);
  }
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t steps = size > 0 ? data[0] : 0;
  steps = steps < size ? steps : (size > 0 ? size - 1 : 0);
  const uint8_t* script = data + (size > 0 ? 1 : 0);
  const uint8_t* payload = script + steps;
  int length = static_cast<int>(size - (payload - data));

  VELBBStreamer* reader = new VELBBStreamer();
  Check(reader->BeginUnstream(payload, length) == VEL_S_OK);
  std::vector<Field> fields = ReadAll(*reader, script, steps);
  reader->EndUnstream();

  reader->BeginStream();
  for (const Field& field : fields) {
    if (field.kind == 0)
      reader->StreamByte(static_cast<unsigned char>(field.number));
    else if (field.kind == 1)
      reader->StreamInt(field.number);
    else if (field.kind == 2)
      reader->StreamString(field.bytes.c_str());
    else
      reader->StreamFixedByteArray(field.bytes.data(), static_cast<int>(field.bytes.size()));
  }
  int written = 0;
  void* bytes = reader->EndStream(written);
  std::vector<uint8_t> copy(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + written);
  reader->ReleaseStreamedBuffer();

  // A byte array is written with its length in front, whether or not it was read with one.
  Check(reader->BeginUnstream(copy.data(), static_cast<int>(copy.size())) == VEL_S_OK);
  Check(ReadAll(*reader, script, fields.size()) == fields);
  unsigned char extra = 0;
  Check(reader->UnstreamByte(extra) != VEL_S_OK);
  Check(reader->EndUnstream() == VEL_S_OK);
  reader->Release();
  return 0;
}
