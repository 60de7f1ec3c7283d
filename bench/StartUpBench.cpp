// What a collaboration-mode start-up costs: the InitP2PForRTC call alone, with a configuration file that
// names every address and with the defaults (which look the host name up), and the time from the call until
// the peer knows another one already running on the same network (a console started by the benchmark).
//
// These open sockets: they refuse to run outside a private network namespace. Run them with
//   ./run sandbox build/bin/velp2p_bench --benchmark_filter=StartUp
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "velp2p/VELApplication.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELIP2PPeer.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const int kMulticastPort = 26795;  // away from the default, so a stray peer in the namespace is not heard

// The configuration naming every address, written once; its path.
const std::string& NamedConfig() {
  static std::string path = [] {
    char name[] = "/tmp/velp2p-startup-XXXXXX";
    int fd = mkstemp(name);
    std::string text = "VELP2PTCPEndPoint|127.0.0.1|0\nVELP2PMultiCastEndPoint|224.0.1.85|" +
                       std::to_string(kMulticastPort) + "\n";
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      std::abort();
    close(fd);
    return std::string(name);
  }();
  return path;
}

VELApplication& Loop() {
  static VELApplication application;
  return application;
}

bool Sandboxed(benchmark::State& state) {
  if (std::getenv("VELP2P_SANDBOX"))
    return true;
  state.SkipWithError("opens sockets: run it with ./run sandbox");
  return false;
}

VELIP2PPeer* Peer() {
  VELSetDiagnosticStream(nullptr);
  setenv("VELP2PLogin", "bench", 1);
  (void)Loop();
  static VELIP2PPeer* peer = VELIP2PPeerFactory::GetLocalPeer();
  return peer;
}

// A console in the same namespace, named other_KVZ, on the named configuration; ends with its input.
class OtherPeer {
 public:
  OtherPeer() {
    std::string self(4096, '\0');
    ssize_t length = readlink("/proc/self/exe", &self[0], self.size() - 1);
    if (length <= 0)
      return;
    self.resize(static_cast<size_t>(length));
    std::string console = self.substr(0, self.rfind('/') + 1) + "velp2p";
    int input[2];
    if (pipe(input) != 0)
      return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string config = NamedConfig();
    const char* argv[] = {console.c_str(), "--json", "--login", "other", "--config", config.c_str(), nullptr};
    if (posix_spawn(&_pid, console.c_str(), &actions, nullptr, const_cast<char**>(argv), environ) != 0)
      _pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    _input = input[1];
  }
  ~OtherPeer() {
    if (_input >= 0)
      close(_input);
    if (_pid > 0 && waitpid(_pid, nullptr, 0) < 0)
      kill(_pid, SIGKILL);
  }
  bool Started() const { return _pid > 0; }

 private:
  pid_t _pid = -1;
  int _input = -1;
};

// Arg 0: a configuration naming every address; 1: the defaults.
void StartUpInit(benchmark::State& state) {
  if (!Sandboxed(state))
    return;
  VELIP2PPeer* peer = Peer();
  if (state.range(0) == 0)
    setenv("VELP2PConfig", NamedConfig().c_str(), 1);
  else
    unsetenv("VELP2PConfig");
  // The first start of a process pays for loading the resolver's modules and reading its files; run one
  // argument alone (--benchmark_filter=StartUpInit/0) to see that cost in first_call_ms.
  static double firstMs = -1;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    VELResult started = peer->InitP2PForRTC();
    std::chrono::duration<double> took = Clock::now() - start;
    state.SetIterationTime(took.count());
    if (firstMs < 0)
      firstMs = took.count() * 1000;
    state.counters["first_call_ms"] = firstMs;
    if (VEL_FAILED(started)) {
      state.SkipWithError("InitP2PForRTC failed");
      break;
    }
    (void)peer->Disconnect();
    Loop().RunOnce(0);
  }
}
BENCHMARK(StartUpInit)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(40)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

// From the InitP2PForRTC call until the other peer is listed as connected.
void StartUpDiscovery(benchmark::State& state) {
  if (!Sandboxed(state))
    return;
  VELIP2PPeer* peer = Peer();
  setenv("VELP2PConfig", NamedConfig().c_str(), 1);
  static OtherPeer other;
  const VELUnicodeString name("other_KVZ");
  auto meets = [&](int timeoutMs) {
    bool found = VEL_SUCCEEDED(peer->InitP2PForRTC()) &&
                 Loop().RunUntil([&] { return peer->IsPeerConnected(name) != 0; }, timeoutMs);
    (void)peer->Disconnect();
    Loop().RunOnce(0);
    return found;
  };
  // The first start waits for the console to come up; the measured ones find it there.
  static bool ready = other.Started() && meets(5000);
  if (!ready) {
    state.SkipWithError("the other peer was not found");
    return;
  }
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    bool found = VEL_SUCCEEDED(peer->InitP2PForRTC()) &&
                 Loop().RunUntil([&] { return peer->IsPeerConnected(name) != 0; }, 2000);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    (void)peer->Disconnect();
    Loop().RunOnce(0);
    if (!found) {
      state.SkipWithError("the other peer was not found within 2 s");
      break;
    }
  }
}
BENCHMARK(StartUpDiscovery)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(40)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace
