// A named trace channel writing lines of diagnostics to stderr, stdout or a file.
#ifndef VELP2P_VELTRACE_H
#define VELP2P_VELTRACE_H

#include <cstdio>
#include <functional>
#include <string>

#include "velp2p/VELExport.h"

// Tracing is off by default so that an application's stderr stays quiet. It is switched on for the whole
// process by setting the environment variable VELP2PTrace to a non-empty value other than "0" before the
// first trace, or by SetEnabled. A capture function, for tests, receives every line of every channel whether
// or not tracing is on.
class VELP2P_API VELTrace {
 public:
  // output is "STDERR", "STDOUT" or a file path (opened for appending on the first write, stderr when it
  // cannot be opened). Formatted texts are cut to bufferSize - 1 bytes; mode is kept for the host's use.
  VELTrace(const char* name, const char* description, int mode, const char* output, int bufferSize);
  ~VELTrace();
  VELTrace(const VELTrace&) = delete;
  VELTrace& operator=(const VELTrace&) = delete;

  // Writes text followed by a line end.
  void TraPutLN(const char* text);
  // Writes the formatted text as it is; the format carries its own line ends.
  void TraPrint(const char* format, ...) __attribute__((format(printf, 2, 3)));

  const char* GetName() const { return _name.c_str(); }
  const char* GetDescription() const { return _description.c_str(); }
  int GetMode() const { return _mode; }

  static void SetEnabled(bool enabled);
  static bool IsEnabled();
  // Receives each written line without its line end, one call per line; an empty function stops the capture.
  static void SetCapture(std::function<void(const std::string& line)> capture);
  // True when a trace would go anywhere: cheap enough to test before building a trace text.
  static bool IsActive();

 private:
  void Write(const std::string& text);
  FILE* Stream();

  std::string _name;
  std::string _description;
  int _mode;
  std::string _output;  // "STDERR", "STDOUT" or a file path
  int _bufferSize;      // bound of a formatted text, terminator included
  FILE* _file;          // the opened output file, null for the standard streams or before the first write
  bool _openTried;      // the output file was opened, or could not be, on an earlier write
};

// The channel of the library, "VELP2PCoreTrace", created on first use and kept until the process ends, so
// that traces from exit handlers are safe.
VELP2P_API VELTrace& VELP2PCoreTrace();

#endif
