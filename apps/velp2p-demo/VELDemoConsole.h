// One velp2p console started by the demo as a child process and driven through its scripted interface:
// commands go to its standard input, its JSON records are read from its standard output.
#ifndef VELP2P_APPS_VELDEMOCONSOLE_H
#define VELP2P_APPS_VELDEMOCONSOLE_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "VELConsoleJsonReader.h"

// A record the console printed, with the time it was read.
struct VELDemoRecord {
  double seconds;               // since the demo started
  std::string line;             // as printed
  VELConsoleJsonReader fields;  // parsed; empty when the line was not a JSON object
  bool claimed = false;         // an expectation already matched it
};

class VELDemoConsole {
 public:
  explicit VELDemoConsole(std::string label) : _label(std::move(label)) {}
  ~VELDemoConsole();
  VELDemoConsole(const VELDemoConsole&) = delete;
  VELDemoConsole& operator=(const VELDemoConsole&) = delete;

  // Starts program with arguments (without argument 0); the child's standard error is the demo's.
  bool Start(const std::string& program, const std::vector<std::string>& arguments);
  // Writes one command line; false when the console no longer reads.
  bool Send(const std::string& line);
  void CloseInput();

  // Reads what the console has written, without blocking, and appends whole lines to Records(); the new
  // records' indices are added to fresh. False once the output has ended.
  bool ReadAvailable(double now, std::vector<size_t>& fresh);
  // The descriptor to poll for output, or -1 once it has ended.
  int OutputDescriptor() const { return _output; }

  // Reaps the child when it has ended: its wait status, or -1 while it runs.
  int PollExit();
  // Kills the child (SIGKILL) when it still runs, and reaps it.
  void Kill();

  const std::string& Label() const { return _label; }
  std::vector<VELDemoRecord>& Records() { return _records; }
  // Expectations look only at the records read after the last Mark().
  void Mark() { _mark = _records.size(); }
  size_t MarkIndex() const { return _mark; }
  bool Started() const { return _pid > 0 || _status >= 0; }
  int Status() const { return _status; }

 private:
  std::string _label;    // the name the transcript shows
  pid_t _pid = -1;       // the running child, -1 before the start and once reaped
  int _status = -1;      // wait status once reaped
  int _input = -1;       // write end of the child's standard input
  int _output = -1;      // read end of the child's standard output
  std::string _partial;  // output read but not yet ended by a line end
  std::vector<VELDemoRecord> _records;
  size_t _mark = 0;  // first record expectations look at
};

#endif
