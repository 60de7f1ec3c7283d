// Golden byte vectors kept as commented hex files in tests/golden/, so that a wire layout is checked against
// bytes written down once, independently of the code that produces them; and what every decoder must read
// from them, kept in tests/golden/decoded.txt.
#ifndef VELP2P_TESTS_SUPPORT_GOLDENVECTORS_H
#define VELP2P_TESTS_SUPPORT_GOLDENVECTORS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Reads tests/golden/<name>.hex: '#' starts a comment that runs to the end of the line; everything else is
// pairs of hex digits, with white space anywhere between pairs. A missing file or a stray character yields
// an empty vector, which no golden comparison accepts.
std::vector<uint8_t> LoadGolden(const std::string& name);
// The payload of a golden block: its bytes from headerLength on; empty when the block is shorter.
std::vector<uint8_t> GoldenPayload(const std::vector<uint8_t>& block);

// One block of tests/golden/decoded.txt: the golden file's name and its fields, name to value.
struct GoldenFields {
  std::string name;
  std::map<std::string, std::string> fields;
};
// The blocks of tests/golden/decoded.txt in their order; empty when it cannot be read.
std::vector<GoldenFields> LoadGoldenFields();

#endif
