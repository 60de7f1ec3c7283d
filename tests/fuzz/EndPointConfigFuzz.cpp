// Feeds the input to the endpoint configuration reader as a file's content: the three columns must stay
// parallel and hold only what fits the reader's fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/VELP2PConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VELListValVELUnicodeString classes;
  VELListValVELUnicodeString addresses;
  VELRawCollint ports;
  std::string content(reinterpret_cast<const char*>(data), size);
  VELResult result = VELP2PParseEndPointConfig(content, classes, addresses, ports);
  if ((result == VEL_S_OK) == content.empty())
    std::abort();
  if (classes.Size() != addresses.Size() || classes.Size() != ports.Size())
    std::abort();
  return 0;
}
