#include "support/GoldenVectors.h"

#include <algorithm>
#include <cctype>
#include <fstream>

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

std::vector<uint8_t> GoldenPayload(const std::vector<uint8_t>& block) {
  const size_t headerLength = block.size() < 6 ? block.size() : size_t(block[4]) << 8 | block[5];
  return std::vector<uint8_t>(block.begin() + std::min(headerLength, block.size()), block.end());
}

std::vector<GoldenFields> LoadGoldenFields() {
  std::ifstream in(std::string(VELP2P_GOLDEN_DIR) + "/decoded.txt");
  std::vector<GoldenFields> blocks;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    if (line[0] == '[' && line.back() == ']') {
      blocks.push_back({line.substr(1, line.size() - 2), {}});
    } else if (!blocks.empty()) {
      const size_t space = line.find(' ');
      blocks.back().fields[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
  }
  return blocks;
}
