// A child process for multi-process tests: started with extra environment, talked to by lines on its
// standard input and output, always waited on with a deadline, and never left behind.
#ifndef VELP2P_TESTS_SUPPORT_CHILDPROCESS_H
#define VELP2P_TESTS_SUPPORT_CHILDPROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

// The child's standard error is the test's, so that its diagnostics (a sanitizer report) show in the test
// log. The destructor kills a child still running and reaps it, and closes both pipes.
class VELTestChild {
 public:
  VELTestChild();
  ~VELTestChild();
  VELTestChild(const VELTestChild&) = delete;
  VELTestChild& operator=(const VELTestChild&) = delete;

  // Starts path with the arguments (path itself is argument 0) and the test's environment plus env, whose
  // entries override variables of the same name. False when the child could not be started.
  bool Start(const std::string& path, const std::vector<std::string>& arguments,
             const std::vector<std::pair<std::string, std::string>>& env);

  // Writes line and a line end to the child's standard input; false when the child no longer reads it.
  bool WriteLine(const std::string& line);
  // Closes the child's standard input, which tells it that no more commands come.
  void CloseInput();

  // The next line of the child's standard output, without its line end. False when the deadline passes
  // or the output ends first.
  bool ReadLine(std::string& line, int timeoutMs);
  // Reads lines until one satisfies match (given in found, when not null); lines read on the way are kept
  // in Lines(). False at the deadline or at the end of the output.
  bool WaitForLine(const std::function<bool(const std::string&)>& match, int timeoutMs,
                   std::string* found = nullptr);
  bool WaitForPrefix(const std::string& prefix, int timeoutMs, std::string* found = nullptr);

  // Waits for the child to end; its wait status, or -1 when it is still running at the deadline.
  int WaitExit(int timeoutMs);
  // Kills the child (SIGKILL) and reaps it; nothing when it has already been reaped.
  void Kill();

  pid_t Pid() const { return _pid; }
  // Every line read so far, for failure messages.
  const std::vector<std::string>& Lines() const { return _lines; }
  std::string Transcript() const;

 private:
  pid_t _pid;           // the running child, or -1 once reaped
  int _input;           // write end of the child's standard input, or -1
  int _output;          // read end of the child's standard output, or -1
  bool _outputEnded;    // the child closed its standard output
  std::string _buffer;  // output read but not yet split into lines
  std::vector<std::string> _lines;
};

// Where the helper programs are: the directory given to the build, or VELP2P_BIN_DIR in the environment.
std::string VELTestProgramPath(const std::string& name);

#endif
