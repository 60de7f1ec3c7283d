// Child processes of the benchmark: each runs one function, gets a control pipe from the parent (a byte means
// "go", end of file means "stop") and answers with one line of name=value pairs.
#ifndef VELP2P_BENCH_VELBENCHPROCESS_H
#define VELP2P_BENCH_VELBENCHPROCESS_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>

using VELBenchResult = std::map<std::string, double>;

// Monotonic clock in microseconds; the same clock in every process, so times can cross process bounds.
double VELBenchNowUs();

// What a child sees of its parent.
class VELBenchControl {
 public:
  VELBenchControl(int in, int out) : _in(in), _out(out) {}
  // Waits (at most timeoutMs, 0 only looks) for the parent's go byte; false on stop or timeout.
  bool WaitGo(int timeoutMs);
  // True once the parent asked to stop (or died).
  bool Stopped();
  void Report(const VELBenchResult& result);
  // The pipe ends, for a child that runs another program with them.
  int In() const { return _in; }
  int Out() const { return _out; }

 private:
  int _in;
  int _out;
  bool _stopped = false;
  bool _go = false;  // a go byte that Stopped() read
};

class VELBenchChild {
 public:
  // Forks; the child runs body and exits with its result.
  explicit VELBenchChild(const std::function<int(VELBenchControl&)>& body);
  ~VELBenchChild();
  VELBenchChild(const VELBenchChild&) = delete;
  VELBenchChild& operator=(const VELBenchChild&) = delete;

  void Go();
  // The child's report line, or an empty map when none came within timeoutMs.
  VELBenchResult Result(int timeoutMs);
  // Asks the child to stop; its report can still be read.
  void Close();
  // Closes the control pipe and waits for the child; kills it when it is still there after timeoutMs.
  void Stop(int timeoutMs = 5000);

 private:
  pid_t _pid = -1;
  int _control = -1;
  int _report = -1;
  std::string _pending;
};

#endif
