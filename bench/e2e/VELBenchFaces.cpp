#include "VELBenchFaces.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "VELBenchNode.h"
#include "VELBenchScenarios.h"
#include "velp2p/velp2p.h"

namespace {

// Processor time this process used, in seconds.
double CpuSeconds() {
  timespec used{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

// A started C node named login + "_KVZ", quiet; null when it cannot start.
velp2p_node_t* StartNode(const char* login, const std::string& config) {
  velp2p_node_t* node = velp2p_node_new();
  if (node && velp2p_node_set(node, "login", login) == VELP2P_OK &&
      velp2p_node_set(node, "config", config.c_str()) == VELP2P_OK &&
      velp2p_node_set(node, "diagnostics", "off") == VELP2P_OK && velp2p_node_start(node) == VELP2P_OK)
    return node;
  std::fprintf(stderr, "velp2p-bench: C node: %s\n", velp2p_strerror(velp2p_last_error()));
  velp2p_node_destroy(&node);
  return nullptr;
}

// Receives (and forgets) events until peer is born; false at the deadline.
bool WaitFor(velp2p_node_t* node, const std::string& peer, int timeoutMs) {
  const double deadline = VELBenchNowUs() + timeoutMs * 1000.0;
  bool born = false;
  while (!born && VELBenchNowUs() < deadline) {
    velp2p_event_t* event = velp2p_node_recv(node, 10);
    born = event && std::strcmp(velp2p_event_kind(event), "born") == 0 && peer == velp2p_event_peer(event);
    velp2p_event_destroy(&event);
  }
  return born;
}

// Runs the node, forgetting its events, until the parent says stop (at most timeoutMs).
void Serve(velp2p_node_t* node, VELBenchControl& control, int timeoutMs) {
  const double deadline = VELBenchNowUs() + timeoutMs * 1000.0;
  while (!control.Stopped() && VELBenchNowUs() < deadline) {
    velp2p_event_t* event = velp2p_node_recv(node, 5);
    velp2p_event_destroy(&event);
  }
}

int Receiver(VELBenchControl& control, const std::string& config, int count) {
  velp2p_node_t* node = StartNode("r", config);
  if (!node || !WaitFor(node, VELBenchNode::NameOf("s"), 10000))
    return 1;
  control.Report({{"ready", 1}});
  double firstSent = 0, lastReceived = 0, received = 0, reordered = 0, total = 0, firstCpu = 0;
  int64_t highest = -1;
  const double start = VELBenchNowUs();
  // The parent is asked whether to stop only when the queue is empty: a pipe poll per message would cost
  // more than the message.
  while (received < count) {
    velp2p_event_t* event = velp2p_node_recv(node, 5);
    const double now = VELBenchNowUs();
    if (!event) {
      if (control.Stopped() || now - start > 90e6 || (lastReceived > 0 && now - lastReceived > 3e6))
        break;
      continue;
    }
    size_t size = 0;
    const void* data = velp2p_event_data(event, &size);
    VELBenchStamp stamp{};
    if (std::strcmp(velp2p_event_kind(event), "message") == 0 && velp2p_event_type(event) == 1 &&
        size >= sizeof stamp) {
      std::memcpy(&stamp, data, sizeof stamp);
      if (received == 0) {
        firstSent = stamp.sentUs;
        firstCpu = CpuSeconds();
      }
      ++received;
      total += static_cast<double>(size);
      if (static_cast<int64_t>(stamp.seq) < highest)
        ++reordered;
      else
        highest = stamp.seq;
      lastReceived = now;
    }
    velp2p_event_destroy(&event);
  }
  const double span = std::max(1.0, lastReceived - firstSent);
  const double cpu = CpuSeconds() - firstCpu;
  control.Report({{"received", received},
                  {"cpu_rate", received > 0 && cpu > 0 ? received / cpu : 0},
                  {"reordered", reordered},
                  {"rate", received * 1e6 / span},
                  {"mbps", total / span},
                  {"dropped", static_cast<double>(velp2p_node_dropped(node))}});
  Serve(node, control, 30000);
  velp2p_node_destroy(&node);
  return 0;
}

int Sender(VELBenchControl& control, const std::string& config, int count, int bytes) {
  velp2p_node_t* node = StartNode("s", config);
  const std::string receiver = VELBenchNode::NameOf("r");
  if (!node || !WaitFor(node, receiver, 10000))
    return 1;
  control.Report({{"ready", 1}});
  bool go = false;
  while (!(go = control.WaitGo(0)) && !control.Stopped()) {
    velp2p_event_t* event = velp2p_node_recv(node, 2);
    velp2p_event_destroy(&event);
  }
  if (!go)
    return 1;
  control.Report(VELBenchSendStamped(
      count, bytes,
      [&](const std::vector<char>& data) {
        const int result = velp2p_node_send(node, receiver.c_str(), 1, "b", data.data(), data.size());
        return result == VELP2P_OK             ? VELBenchSend::kQueued
               : result == VELP2P_E_QUEUE_FULL ? VELBenchSend::kQueueFull
                                               : VELBenchSend::kFailed;
      },
      [&] {
        velp2p_event_t* event = velp2p_node_recv(node, 1);
        velp2p_event_destroy(&event);
      },
      [&] {
        velp2p_node_process(node);
        while (velp2p_event_t* event = velp2p_node_recv(node, 0))
          velp2p_event_destroy(&event);
      },
      [] { return std::string(velp2p_strerror(velp2p_last_error())); }));
  Serve(node, control, 60000);
  velp2p_node_destroy(&node);
  return 0;
}

}  // namespace

VELBenchResult BenchPointToPointC(int count, int bytes) {
  const std::string config = VELBenchNewConfig();
  VELBenchResult out = VELBenchRunPair(std::make_unique<VELBenchChild>([&](VELBenchControl& control) {
                                         return Receiver(control, config, count);
                                       }),
                                       std::make_unique<VELBenchChild>([&](VELBenchControl& control) {
                                         return Sender(control, config, count, bytes);
                                       }));
  unlink(config.c_str());
  return out;
}

VELBenchResult BenchPointToPointPython(int count, int bytes) {
  const std::string config = VELBenchNewConfig();
  auto receiver = std::make_unique<VELBenchChild>([&](VELBenchControl& control) {
    // The receiver speaks the children's protocol on the same pipes.
    setenv("VELP2P_LIBRARY", VELP2P_BENCH_LIBRARY, 1);
    setenv("PYTHONPATH", VELP2P_BENCH_SOURCE "/bindings/python", 1);
    const std::string script = VELP2P_BENCH_SOURCE "/bench/e2e/python_receiver.py";
    const std::string in = std::to_string(control.In()), out = std::to_string(control.Out());
    const std::string total = std::to_string(count);
    execl(VELP2P_BENCH_PYTHON, VELP2P_BENCH_PYTHON, script.c_str(), config.c_str(), total.c_str(), in.c_str(),
          out.c_str(), static_cast<char*>(nullptr));
    std::perror("velp2p-bench: " VELP2P_BENCH_PYTHON);
    return 127;
  });
  auto sender = std::make_unique<VELBenchChild>(
      [&](VELBenchControl& control) { return VELBenchStampedSender(control, config, count, bytes); });
  VELBenchResult out = VELBenchRunPair(std::move(receiver), std::move(sender));
  unlink(config.c_str());
  return out;
}
