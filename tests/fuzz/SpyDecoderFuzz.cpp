// The spy's decoder on any bytes: it reads nothing outside them, and its record is always one valid JSON
// object that carries the reason exactly when the block is malformed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "VELConsoleJsonReader.h"
#include "VELSpyDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VELConsoleJson json;
  const VELSpyDecoder::Block block = VELSpyDecoder().Decode(data, size, size % 2 == 0, json);
  VELConsoleJsonReader record;
  if (!record.Parse(json.Text()) || record.Has("malformed") == block.malformed.empty() ||
      (block.summary.empty() && block.malformed.empty()))
    std::abort();
  return 0;
}
