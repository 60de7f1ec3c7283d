// velp2p-bench: the end-to-end figures of velp2p next to what plain sockets and memcpy do on the same machine
// in the same run, printed as one table. Every peer is a child process with its own loop; every loop is
// bounded in count and time. It opens sockets, so it only runs inside the private namespace of ./run bench.
//
//   velp2p-bench [--scale F] [--only TEXT]
//     F (default 1) multiplies every message count, e.g. 0.1 for a quick look; --only runs the figures whose
//     name holds TEXT, e.g. "point to point", with the baselines they compare with
//
// The receive flood figure starts the console beside this program (build/bin/velp2p), or the one that
// VELP2P_BENCH_CONSOLE names, e.g. a build of another revision.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <unistd.h>

#include "VELBenchBaselines.h"
#include "VELBenchFaces.h"
#include "VELBenchFlood.h"
#include "VELBenchScenarios.h"

namespace {

double g_scale = 1;
const char* g_only = "";
double g_last = 0;  // when the previous row was printed

int Scaled(int count) {
  return std::max(2, static_cast<int>(count * g_scale));
}

void Row(const char* figure, const std::string& value, double ratio, const char* baseline,
         const std::string& notes) {
  char ratioText[32] = "-";
  if (ratio > 0)
    std::snprintf(ratioText, sizeof ratioText, "%.3g", ratio);
  std::printf("| %-34s | %14s | %6s | %-24s | %s |\n", figure, value.c_str(), ratioText, baseline,
              notes.c_str());
  std::fflush(stdout);
  double now = VELBenchNowUs();
  std::fprintf(stderr, "velp2p-bench: %s took %.1f s\n", figure, (now - g_last) / 1e6);
  g_last = now;
}

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c, d);
  return text;
}

bool Wanted(const char* figure) {
  return std::strstr(figure, g_only) != nullptr;
}

double Ratio(double value, double baseline) {
  return value > 0 && baseline > 0 ? value / baseline : 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--scale") == 0 && i + 1 < argc)
      g_scale = std::atof(argv[++i]);
    else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
      g_only = argv[++i];
    else {
      std::fprintf(stderr, "usage: velp2p-bench [--scale F] [--only TEXT]\n");
      return 2;
    }
  }
  g_last = VELBenchNowUs();
  const char* sandbox = std::getenv("VELP2P_SANDBOX");
  if (!sandbox || std::strcmp(sandbox, "1") != 0) {
    std::fprintf(stderr,
                 "velp2p-bench: opens sockets; run it through ./run bench (a private network namespace)\n");
    return 2;
  }
  std::printf("| %-34s | %14s | %6s | %-24s | %s |\n", "figure", "value", "ratio", "baseline", "notes");
  std::printf("|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(16, '-').c_str(),
              std::string(8, '-').c_str(), std::string(26, '-').c_str(), "---");

  // Each baseline runs when a figure that is wanted compares with it.
  VELBenchResult raw100, raw4k, raw1m, multicast, copy;
  if (Wanted("point to point") || Wanted("latency")) {
    raw100 = BaselineConnectionPerMessage(Scaled(30000), 100);
    Row("baseline: TCP conn/msg 100 B", Format("%.0f msgs/s", raw100["rate"]), 0, "plain sockets",
        Format("%.0f msgs, %.0f failed connects", raw100["received"], raw100["failed"]));
  }
  if (Wanted("point to point 4 KiB")) {
    raw4k = BaselineConnectionPerMessage(Scaled(5000), 4096);
    Row("baseline: TCP conn/msg 4 KiB", Format("%.0f msgs/s", raw4k["rate"]), 0, "plain sockets",
        Format("%.0f msgs, %.0f failed connects", raw4k["received"], raw4k["failed"]));
  }
  if (Wanted("status fan-out")) {
    multicast = BaselineMulticast(Scaled(100000), 100);
    Row("baseline: multicast 100 B on lo", Format("%.0f dgrams/s", multicast["rate"]), 0, "plain sockets",
        Format("%.0f sent unpaced, %.0f lost", Scaled(100000), multicast["lost"]));
  }
  if (Wanted("block")) {
    copy = BaselineMemcpy();
    Row("baseline: memcpy 1 MiB", Format("%.0f MB/s", copy["mbps"]), 0, "-", "2000 copies");
    // What the kernel's loopback allows a block per connection, for the ceiling under the memcpy ratio.
    raw1m = BaselineConnectionPerMessage(Scaled(200), 1 << 20);
    Row("baseline: TCP conn/msg 1 MiB", Format("%.0f MB/s", raw1m["rate"] * 1.048576), 0, "plain sockets",
        Format("%.0f msgs, %.0f failed connects", raw1m["received"], raw1m["failed"]));
  }

  if (Wanted("discovery")) {
    VELBenchResult two = BenchDiscovery(2, 15);
    Row("discovery, 2 peers", Format("%.2f ms", two["ms"]), 0, "-",
        Format("median of 15 rounds of the slowest peer; %.0f peers missed the 10 s deadline",
               two["failed"]));
    VELBenchResult sixteen = BenchDiscovery(16, 2);
    Row("discovery, 16 peers", Format("%.2f ms", sixteen["ms"]), 0, "-",
        Format("median of 2 rounds of the slowest peer; %.0f peers missed the 10 s deadline",
               sixteen["failed"]));
  }

  // Both rates move with the machine's load from one second to the next: the figure is the median of three
  // rounds, each measuring the raw rate and velp2p's back to back. Losses, reorderings and failures are
  // summed over the rounds, the slowest send is the slowest of all.
  for (auto [count, bytes, figure] : {std::make_tuple(30000, 100, "point to point 100 B"),
                                      std::make_tuple(5000, 4096, "point to point 4 KiB")}) {
    if (!Wanted(figure))
      continue;
    std::vector<std::pair<VELBenchResult, double>> rounds;
    double lost = 0, reordered = 0, failed = 0, full = 0, slowest = 0, overMs = 0;
    for (int round = 0; round < 3; ++round) {
      double raw = BaselineConnectionPerMessage(Scaled(count), bytes)["rate"];
      VELBenchResult r = BenchPointToPoint(Scaled(count), bytes);
      lost += r["lost"];
      reordered += r["reordered"];
      failed += r["failed"];
      full += r["full"];
      slowest = std::max(slowest, r["maxsend_us"]);
      overMs += r["overms"];
      r["raw"] = raw;
      rounds.emplace_back(r, Ratio(r["rate"], raw));
    }
    std::sort(rounds.begin(), rounds.end(), [](const auto& x, const auto& y) { return x.second < y.second; });
    VELBenchResult& median = rounds[1].first;
    Row(figure, Format("%.0f msgs/s", median["rate"]), rounds[1].second, "TCP conn/msg, same size",
        Format("median of 3 rounds (ratios %.2f, %.2f, %.2f", rounds[0].second, rounds[1].second,
               rounds[2].second) +
            Format("; raw %.0f msgs/s); %.0f msgs: lost %.0f, reordered %.0f", median["raw"],
                   3.0 * Scaled(count), lost, reordered) +
            Format(", failed sends %.0f, queue full %.0f times, slowest send %.2f ms (%.0f over 1 ms)",
                   failed, full, slowest / 1000.0, overMs));
  }

  // The C interface and the Python package, each round next to the C++ interface measured just before it;
  // the rows show the round of the median ratio to C++.
  const char* const faces[] = {"point to point 100 B, C API", "point to point 100 B, Python"};
  for (int face = 0; face < 2; ++face) {
    if (!Wanted(faces[face]))
      continue;
    std::vector<std::pair<VELBenchResult, double>> rounds;
    for (int round = 0; round < 3; ++round) {
      const double cpp = BenchPointToPoint(Scaled(30000), 100)["rate"];
      VELBenchResult r =
          face == 0 ? BenchPointToPointC(Scaled(30000), 100) : BenchPointToPointPython(Scaled(30000), 100);
      r["cpp"] = cpp;
      rounds.emplace_back(r, Ratio(r["rate"], cpp));
    }
    std::sort(rounds.begin(), rounds.end(), [](const auto& x, const auto& y) { return x.second < y.second; });
    VELBenchResult& median = rounds[1].first;
    Row(faces[face], Format("%.0f msgs/s", median["rate"]), rounds[1].second, "C++ interface, same round",
        Format("median of 3 rounds (ratios %.2f, %.2f, %.2f", rounds[0].second, rounds[1].second,
               rounds[2].second) +
            Format("; C++ %.0f msgs/s); %.0f msgs: lost %.0f, reordered %.0f", median["cpp"], Scaled(30000),
                   median["lost"], median["reordered"]) +
            Format(
                ", events dropped %.0f, queue full %.0f times; the receiver handles %.0f msgs per CPU second",
                median["dropped"], median["full"], median["cpu_rate"]));
  }

  double rawCostUs = raw100["rate"] > 0 ? 1e6 / raw100["rate"] : 0;
  for (bool loaded : {false, true}) {
    if (!Wanted("latency"))
      break;
    VELBenchResult r = BenchLatency(Scaled(loaded ? 500 : 1000), loaded);
    std::string notes =
        Format("round trip of 100 B, %.0f rounds, %.0f unanswered", Scaled(loaded ? 500 : 1000), r["lost"]);
    if (loaded)
      notes += Format("; a third peer sends 100 B to the echo at %.0f msgs/s", r["load_rate"]);
    Row(loaded ? "latency p50 / p99, loaded" : "latency p50 / p99, idle",
        Format("%.0f / %.0f us", r["p50_us"], r["p99_us"]), Ratio(r["p50_us"], rawCostUs),
        "p50 / TCP conn/msg cost", notes);
  }

  if (Wanted("status fan-out")) {
    VELBenchResult fan = BenchStatusFanOut(4, Scaled(10000), 10000);
    Row("status fan-out to 4, 10k/s target", Format("%.0f chg/s", fan["perreceiver"]),
        Ratio(fan["perreceiver"], multicast["rate"]), "multicast 100 B dgrams/s",
        Format("sent at %.0f/s; lost %.0f of %.0f deliveries", fan["rate"], fan["lost"],
               4.0 * Scaled(10000)) +
            Format(", %.0f refused", fan["failed"]));
  }

  for (auto [count, bytes, figure] :
       {std::make_tuple(500, 64 << 10, "block 64 KiB"), std::make_tuple(50, 1 << 20, "block 1 MiB")}) {
    if (!Wanted(figure))
      continue;
    VELBenchResult r = BenchPointToPoint(Scaled(count), bytes);
    Row(figure, Format("%.0f MB/s", r["mbps"]), Ratio(r["mbps"], copy["mbps"]), "memcpy 1 MiB",
        Format("%.0f blocks: lost %.0f, reordered %.0f, send call mean %.2f ms", Scaled(count), r["lost"],
               r["reordered"], r["meansend_us"] / 1000.0) +
            Format(", slowest %.2f ms", r["maxsend_us"] / 1000.0) +
            (bytes == 1 << 20
                 ? Format("; %.2f of the raw 1 MiB rate", Ratio(r["mbps"], raw1m["rate"] * 1.048576))
                 : std::string()));
  }

  if (Wanted("forged birth")) {
    VELBenchResult forged = BenchForgedBirth();
    Row("forged birth, 98 records", Format("%.2f ms", forged["late_us"] / 1000.0), 0, "-",
        Format("longest a 1 ms timer fired late over the 4 s after it; heard %.0f", forged["heard"]) +
            "; 3 forbidden, 90 unanswering and 5 refused records");
  }

  if (Wanted("receive flood")) {
    const char* console = std::getenv("VELP2P_BENCH_CONSOLE");
    std::string program = console ? console : "";
    if (program.empty()) {
      char self[PATH_MAX] = {};
      ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
      program = std::string(self, length > 0 ? static_cast<size_t>(length) : 0);
      program = program.substr(0, program.rfind('/') + 1) + "velp2p";
    }
    VELBenchResult flood = BenchReceiveFlood(program, 256, 4 << 20, 6000);
    Row("receive flood, 256 x 4 MiB", Format("%.0f MB peak", flood["peak_kb"] / 1024), 0, "-",
        Format("console resident %.0f MB before, %.0f MB 5 s after the close; GetStatus p50 / p99 / max %.1f",
               flood["base_kb"] / 1024, flood["after_kb"] / 1024, flood["p50_ms"]) +
            Format(" / %.1f / %.1f ms over %.0f commands; %.0f MB sent in 6 s", flood["p99_ms"],
                   flood["max_ms"], flood["commands"], flood["sent_mb"]) +
            (flood["alive"] > 0 ? "" : "; the console stopped answering"));
  }

  if (!Wanted("memory per known peer"))
    return 0;
  VELBenchResult memory = BenchMemoryPerPeer(Scaled(2000));
  Row("memory per known peer", Format("%.0f B", memory["bytes"]), 0, "-",
      Format("heap growth over %.0f births injected by multicast (of %.0f)", memory["entries"],
             Scaled(2000)));
  return 0;
}
