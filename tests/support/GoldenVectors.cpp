#include "support/GoldenVectors.h"

#include <cctype>
#include <fstream>
#include <sstream>

std::vector<uint8_t> LoadGolden(const std::string& name) {
  std::ifstream in(std::string(VELP2P_GOLDEN_DIR) + "/" + name + ".hex");
  if (!in)
    return {};
  std::vector<uint8_t> bytes;
  std::string line;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    std::string digits;
    for (char c : line) {
      if (std::isspace(static_cast<unsigned char>(c)))
        continue;
      if (!std::isxdigit(static_cast<unsigned char>(c)))
        return {};
      digits += c;
    }
    if (digits.size() % 2 != 0)
      return {};
    for (size_t i = 0; i < digits.size(); i += 2)
      bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}
