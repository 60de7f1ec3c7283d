#include "VELBenchFlood.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// A port of this namespace's loopback that nothing listens on right now.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

// A field of /proc/PID/status in kB (VmRSS, VmHWM), -1 when unreadable.
double StatusKb(pid_t pid, const char* field) {
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE* file = std::fopen(path.c_str(), "r");
  if (!file)
    return -1;
  char line[256];
  double value = -1;
  size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, file)) {
    if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
      value = std::atof(line + length + 1);
      break;
    }
  }
  std::fclose(file);
  return value;
}

// One console as a child process, its input and output on pipes.
class Console {
 public:
  Console(const std::string& program, const std::string& config) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
      return;
    std::fflush(nullptr);
    _pid = fork();
    if (_pid == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      setenv("VELP2PTrace", "0", 1);
      execl(program.c_str(), program.c_str(), "--json", "--login", "flood", "--config", config.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    _input = in[1];
    _output = out[0];
    fcntl(_output, F_SETFL, O_NONBLOCK);
  }
  ~Console() {
    if (_input >= 0)
      close(_input);  // end of input: the console leaves and exits
    if (_pid > 0) {
      int status = 0;
      double deadline = VELBenchNowUs() + 6e6;
      while (waitpid(_pid, &status, WNOHANG) == 0) {
        if (VELBenchNowUs() > deadline) {
          kill(_pid, SIGKILL);
          waitpid(_pid, &status, 0);
          break;
        }
        usleep(5000);
      }
    }
    if (_output >= 0)
      close(_output);
  }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  pid_t Pid() const { return _pid; }
  int Output() const { return _output; }
  void Send(const char* line) {
    ssize_t ignored = write(_input, line, std::strlen(line));
    (void)ignored;
  }
  // Reads what the console printed; counts the lines that hold text.
  int Take(const char* text) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(_output, buffer, sizeof buffer)) > 0)
      _pending.append(buffer, static_cast<size_t>(n));
    int found = 0;
    for (size_t end; (end = _pending.find('\n')) != std::string::npos;) {
      found += _pending.substr(0, end).find(text) != std::string::npos ? 1 : 0;
      _pending.erase(0, end + 1);
    }
    return found;
  }
  // Waits until a line holding text came, at most timeoutMs.
  bool Await(const char* text, int timeoutMs) {
    double deadline = VELBenchNowUs() + timeoutMs * 1000.0;
    while (Take(text) == 0) {
      int left = static_cast<int>((deadline - VELBenchNowUs()) / 1000);
      pollfd p{_output, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) <= 0)
        return false;
    }
    return true;
  }

 private:
  pid_t _pid = -1;
  int _input = -1;
  int _output = -1;
  std::string _pending;
};

// Opens connections to port, each declaring a block of declared bytes and bringing all but the last 16, and
// writes them as the kernel takes them for floodMs; then closes them. Returns the bytes written.
double Flood(int port, int connections, int declared, int floodMs) {
  std::vector<char> block(static_cast<size_t>(declared) - 16, 0);
  uint32_t prefix = htonl(static_cast<uint32_t>(declared));
  std::memcpy(block.data(), &prefix, 4);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port));
  std::vector<pollfd> polled;
  std::vector<size_t> sent(static_cast<size_t>(connections), 0);
  for (int i = 0; i < connections; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
      close(fd);
      fd = -1;
    }
    polled.push_back(pollfd{fd, POLLOUT, 0});
  }
  double total = 0;
  const double start = VELBenchNowUs();
  while (VELBenchNowUs() - start < floodMs * 1000.0) {
    if (poll(polled.data(), polled.size(), 20) < 0 && errno != EINTR)
      break;
    for (size_t i = 0; i < polled.size(); ++i) {
      if (polled[i].fd < 0 || (polled[i].revents & (POLLOUT | POLLERR | POLLHUP)) == 0)
        continue;
      ssize_t n = send(polled[i].fd, block.data() + sent[i],
                       std::min<size_t>(block.size() - sent[i], 256 << 10), MSG_NOSIGNAL);
      if (n > 0) {
        sent[i] += static_cast<size_t>(n);
        total += static_cast<double>(n);
      }
      if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) || sent[i] == block.size())
        polled[i].events = 0;  // written or refused: kept open, nothing more to send
    }
  }
  for (const pollfd& entry : polled) {
    if (entry.fd >= 0)
      close(entry.fd);
  }
  return total;
}

}  // namespace

VELBenchResult BenchReceiveFlood(const std::string& program, int connections, int declared, int floodMs) {
  const int port = FreePort();
  std::string config = "/tmp/velp2p-bench-flood-" + std::to_string(getpid()) + ".cfg";
  if (FILE* file = std::fopen(config.c_str(), "w")) {
    std::fprintf(file, "VELP2PTCPEndPoint|127.0.0.1|%d\nVELP2PMultiCastEndPoint|224.0.1.85|%d\n", port,
                 port + 1);
    std::fclose(file);
  }
  void (*previous)(int) = signal(SIGPIPE, SIG_IGN);
  VELBenchResult out;
  {
    Console console(program, config);
    if (console.Pid() > 0 && console.Await("VELP2PInitPeerNotif", 10000)) {
      usleep(500000);  // the start-up announcements settle
      console.Take("");
      out["base_kb"] = StatusKb(console.Pid(), "VmRSS");

      // The flood has a thread of its own, so that writing it never delays a command.
      std::atomic<bool> flooding{true};
      double total = 0;
      std::thread flood([&] {
        total = Flood(port, connections, declared, floodMs);
        flooding = false;
      });
      // One command at a time, 10 ms after the previous answer: a light load of its own.
      std::vector<double> latencies;
      double askedAt = 0, answeredAt = 0;
      while (flooding) {
        if (askedAt == 0 && VELBenchNowUs() - answeredAt >= 10000) {
          askedAt = VELBenchNowUs();
          console.Send("GetStatus\n");
        }
        pollfd p{console.Output(), POLLIN, 0};
        poll(&p, 1, 1);
        if (console.Take("\"command\"") > 0) {
          answeredAt = VELBenchNowUs();
          latencies.push_back((answeredAt - askedAt) / 1000.0);
          askedAt = 0;
        }
      }
      flood.join();
      // The round trip in flight when the flood ended counts too.
      if (askedAt != 0 && console.Await("\"command\"", 30000))
        latencies.push_back((VELBenchNowUs() - askedAt) / 1000.0);
      const double closed = VELBenchNowUs();
      while (VELBenchNowUs() - closed < 5e6) {
        usleep(100000);
        console.Take("");
      }
      out["after_kb"] = StatusKb(console.Pid(), "VmRSS");
      out["peak_kb"] = StatusKb(console.Pid(), "VmHWM");
      console.Send("GetStatus\n");
      out["alive"] = console.Await("\"command\"", 5000) ? 1 : 0;
      std::sort(latencies.begin(), latencies.end());
      out["commands"] = static_cast<double>(latencies.size());
      out["p50_ms"] = latencies.empty() ? -1 : latencies[latencies.size() / 2];
      out["p99_ms"] = latencies.empty() ? -1 : latencies[latencies.size() * 99 / 100];
      out["max_ms"] = latencies.empty() ? -1 : latencies.back();
      out["sent_mb"] = total / 1e6;
    }
  }
  signal(SIGPIPE, previous);
  unlink(config.c_str());
  return out;
}
