// The console's text handling on any bytes: the JSON reader reads back what the writer wrote, and a line's
// arguments, quoted again, split back into themselves.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "VELConsoleJson.h"
#include "VELConsoleJsonReader.h"
#include "VELConsoleLine.h"
#include "VELConsoleText.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);

  VELConsoleJsonReader reader;
  if (reader.Parse(input)) {
    for (const auto& field : reader.Fields()) {
      reader.Text(field.first);
      reader.Number(field.first);
      reader.List(field.first);
    }
  }

  std::string valid = VELConsoleText::ValidUtf8(input);
  std::string record =
      VELConsoleJson().AddText("text", input).AddList("list", {input, ""}).AddNumber("n", -1).Text();
  VELConsoleJsonReader again;
  Check(again.Parse(record));
  Check(again.Text("text") == valid);
  Check(again.List("list") == std::vector<std::string>({valid, ""}));
  Check(again.Number("n") == -1);

  std::vector<std::string> arguments;
  std::string error;
  if (VELConsoleLine::Split(input, arguments, error)) {
    for (const std::string& argument : arguments) {
      std::vector<std::string> split;
      Check(VELConsoleLine::Split(VELConsoleLine::Quote(argument), split, error));
      Check(split.size() == 1 && split[0] == argument);
    }
  }
  std::string bytes;
  if (VELConsoleLine::ParseData(input, bytes, error) && input.compare(0, 4, "hex:") == 0)
    Check(VELConsoleLine::Hex(bytes.data(), bytes.size()).size() == input.size() - 4);
  int32_t number = 0;
  VELConsoleLine::ParseInt32(input, number);
  uint8_t byte = 0;
  VELConsoleLine::ParseByte(input, byte);
  return 0;
}
