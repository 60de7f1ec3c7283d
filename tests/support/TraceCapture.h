// Collects the trace lines written while it lives.
#ifndef VELP2P_TESTS_TRACECAPTURE_H
#define VELP2P_TESTS_TRACECAPTURE_H

#include <algorithm>
#include <string>
#include <vector>

#include "velp2p/VELTrace.h"

class TraceCapture {
 public:
  TraceCapture() {
    VELTrace::SetCapture([this](const std::string& line) { _lines.push_back(line); });
  }
  ~TraceCapture() { VELTrace::SetCapture(nullptr); }
  const std::vector<std::string>& Lines() const { return _lines; }
  int Count(const std::string& line) const {
    return static_cast<int>(std::count(_lines.begin(), _lines.end(), line));
  }
  void Clear() { _lines.clear(); }

 private:
  std::vector<std::string> _lines;
};

#endif
