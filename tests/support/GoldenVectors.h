// Golden byte vectors kept as commented hex files in tests/golden/, so that a wire layout is checked against
// bytes written down once, independently of the code that produces them.
#ifndef VELP2P_TESTS_SUPPORT_GOLDENVECTORS_H
#define VELP2P_TESTS_SUPPORT_GOLDENVECTORS_H

#include <cstdint>
#include <string>
#include <vector>

// Reads tests/golden/<name>.hex: '#' starts a comment that runs to the end of the line; everything else is
// pairs of hex digits, with white space anywhere between pairs. A missing file or a stray character yields
// an empty vector, which no golden comparison accepts.
std::vector<uint8_t> LoadGolden(const std::string& name);

#endif
