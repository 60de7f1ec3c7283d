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

#include <memory>

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
  VELBenchResult raw100, raw4k, raw1m, multicast, copy, stream1m, trip;
  if (Wanted("point to point") || Wanted("latency")) {
    raw100 = BaselineConnectionPerMessage(Scaled(30000), 100);
    Row("baseline: TCP conn/msg 100 B", Format("%.0f msgs/s", raw100["rate"]), 0, "plain sockets",
        Format("%.0f msgs, %.0f failed connects", raw100["received"], raw100["sent_failed"]));
  }
  if (Wanted("point to point 100 B")) {
    VELBenchResult stream100 = BaselinePersistent(Scaled(300000), 100);
    Row("baseline: TCP persistent 100 B", Format("%.0f msgs/s", stream100["rate"]), 0, "plain sockets",
        Format("%.0f length-prefixed blocks, one write each, on one connection (no-delay)",
               stream100["received"]));
  }
  if (Wanted("latency")) {
    trip = BaselineRoundTrip(Scaled(2000));
    Row("baseline: TCP round trip 100 B", Format("%.0f us", trip["sent_p50_us"]), 0, "plain sockets",
        Format("p50 of %.0f round trips on one connection (no-delay); p99 %.0f us", trip["sent_rounds"],
               trip["sent_p99_us"]));
  }
  if (Wanted("point to point 4 KiB")) {
    raw4k = BaselineConnectionPerMessage(Scaled(5000), 4096);
    Row("baseline: TCP conn/msg 4 KiB", Format("%.0f msgs/s", raw4k["rate"]), 0, "plain sockets",
        Format("%.0f msgs, %.0f failed connects", raw4k["received"], raw4k["sent_failed"]));
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
        Format("%.0f msgs, %.0f failed connects", raw1m["received"], raw1m["sent_failed"]));
    stream1m = BaselinePersistent(Scaled(2000), 1 << 20);
    Row("baseline: TCP persistent 1 MiB", Format("%.0f MB/s", stream1m["mbps"]), 0, "plain sockets",
        Format("%.0f length-prefixed blocks, one write each, on one connection", stream1m["received"]));
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
  // rounds, each measuring the raw rates and velp2p's back to back. Losses, reorderings and failures are
  // summed over the rounds, the slowest send is the slowest of all. Peers that both take many blocks per
  // connection are compared with a connection per message and with one connection for all; a pair where one
  // side takes a block per connection only goes the way every block went before, and is compared with that.
  std::unique_ptr<VELBenchNet> veth;
  struct PointToPoint {
    int count;
    int rawCount;
    int bytes;
    const char* figure;
    bool veth, plainSender, plainReceiver;
  };
  const PointToPoint rows[] = {
      {300000, 30000, 100, "point to point 100 B", false, false, false},
      {50000, 5000, 4096, "point to point 4 KiB", false, false, false},
      {300000, 30000, 100, "point to point 100 B, veth", true, false, false},
      {30000, 30000, 100, "point to point 100 B, plain receiver", false, false, true},
      {30000, 30000, 100, "point to point 100 B, plain sender", false, true, false},
  };
  for (const PointToPoint& row : rows) {
    if (!Wanted(row.figure))
      continue;
    if (row.veth && !veth && !(veth = VELBenchNet::Veth())) {
      Row(row.figure, "-", 0, "-", "no veth pair between namespaces could be made here (root and ip needed)");
      continue;
    }
    const VELBenchNet loopback;
    const VELBenchNet& net = row.veth ? *veth : loopback;
    const bool streams = !row.plainSender && !row.plainReceiver;
    std::vector<std::pair<VELBenchResult, double>> rounds;
    double lost = 0, reordered = 0, failed = 0, full = 0, slowest = 0, overMs = 0;
    for (int round = 0; round < 3; ++round) {
      double raw = BaselineConnectionPerMessage(Scaled(row.rawCount), row.bytes, net)["rate"];
      double persistent = streams ? BaselinePersistent(Scaled(row.count), row.bytes, net)["rate"] : 0;
      VELBenchPair pair;
      pair.net = row.veth ? veth.get() : nullptr;
      pair.plainSender = row.plainSender;
      pair.plainReceiver = row.plainReceiver;
      VELBenchResult r = BenchPointToPoint(Scaled(row.count), row.bytes, pair);
      lost += r["lost"];
      reordered += r["reordered"];
      failed += r["failed"];
      full += r["full"];
      slowest = std::max(slowest, r["maxsend_us"]);
      overMs += r["overms"];
      r["raw"] = raw;
      r["persistent"] = persistent;
      rounds.emplace_back(r, Ratio(r["rate"], raw));
    }
    std::sort(rounds.begin(), rounds.end(), [](const auto& x, const auto& y) { return x.second < y.second; });
    VELBenchResult& median = rounds[1].first;
    std::string notes = Format("median of 3 rounds (ratios %.2f, %.2f, %.2f", rounds[0].second,
                               rounds[1].second, rounds[2].second) +
                        Format("; raw %.0f msgs/s)", median["raw"]);
    if (streams)
      notes += Format(", %.2f of one connection for all (%.0f msgs/s)",
                      Ratio(median["rate"], median["persistent"]), median["persistent"]);
    notes += Format("; %.0f msgs: lost %.0f, reordered %.0f", 3.0 * Scaled(row.count), lost, reordered) +
             Format(", failed sends %.0f, queue full %.0f times, slowest send %.2f ms (%.0f over 1 ms)",
                    failed, full, slowest / 1000.0, overMs);
    Row(row.figure, Format("%.0f msgs/s", median["rate"]), rounds[1].second, "TCP conn/msg, same size",
        notes);
  }

  // Sockets in TIME_WAIT on each side after 2,000 messages between peers that take many blocks per
  // connection, each in a namespace of its own that nothing else used.
  if (Wanted("TIME_WAIT")) {
    std::unique_ptr<VELBenchNet> fresh = VELBenchNet::Veth();
    VELBenchPair pair;
    pair.net = fresh.get();
    VELBenchResult r = fresh ? BenchPointToPoint(2000, 100, pair) : VELBenchResult();
    Row("TIME_WAIT after 2000 messages", Format("%.0f / %.0f", r["timewait"], r["sender_timewait"]), 0, "-",
        Format("receiving / sending side, over veth; %.0f received, lost %.0f", r["received"], r["lost"]));
  }

  // The C interface and the Python package, each round next to the C++ interface measured just before it;
  // the rows show the round of the median ratio to C++. Rounds long enough that start-up and the first
  // connection do not weigh on rates of several hundred thousand messages a second.
  constexpr int kFaceMessages = 300000;
  const char* const faces[] = {"point to point 100 B, C API", "point to point 100 B, Python"};
  for (int face = 0; face < 2; ++face) {
    if (!Wanted(faces[face]))
      continue;
    std::vector<std::pair<VELBenchResult, double>> rounds;
    for (int round = 0; round < 3; ++round) {
      const double cpp = BenchPointToPoint(Scaled(kFaceMessages), 100)["rate"];
      VELBenchResult r = face == 0 ? BenchPointToPointC(Scaled(kFaceMessages), 100)
                                   : BenchPointToPointPython(Scaled(kFaceMessages), 100);
      r["cpp"] = cpp;
      rounds.emplace_back(r, Ratio(r["rate"], cpp));
    }
    std::sort(rounds.begin(), rounds.end(), [](const auto& x, const auto& y) { return x.second < y.second; });
    VELBenchResult& median = rounds[1].first;
    Row(faces[face], Format("%.0f msgs/s", median["rate"]), rounds[1].second, "C++ interface, same round",
        Format("median of 3 rounds (ratios %.2f, %.2f, %.2f", rounds[0].second, rounds[1].second,
               rounds[2].second) +
            Format("; C++ %.0f msgs/s); %.0f msgs: lost %.0f, reordered %.0f", median["cpp"],
                   Scaled(kFaceMessages), median["lost"], median["reordered"]) +
            Format(
                ", events dropped %.0f, queue full %.0f times; the receiver handles %.0f msgs per CPU second",
                median["dropped"], median["full"], median["cpu_rate"]));
  }

  // The idle round trip moves with the load even more than the rates: three rounds, each measuring the plain
  // round trip just before velp2p's, and the round of the median ratio.
  for (bool loaded : {false, true}) {
    if (!Wanted("latency"))
      break;
    std::vector<std::pair<VELBenchResult, double>> rounds;
    for (int round = 0; round < (loaded ? 1 : 3); ++round) {
      const double plain = round == 0 ? trip["sent_p50_us"] : BaselineRoundTrip(Scaled(2000))["sent_p50_us"];
      VELBenchResult r = BenchLatency(Scaled(loaded ? 500 : 1000), loaded);
      r["plain"] = plain;
      rounds.emplace_back(r, Ratio(r["p50_us"], plain));
    }
    std::sort(rounds.begin(), rounds.end(), [](const auto& x, const auto& y) { return x.second < y.second; });
    VELBenchResult& r = rounds[rounds.size() / 2].first;
    std::string notes =
        Format("round trip of 100 B, %.0f rounds, %.0f unanswered", Scaled(loaded ? 500 : 1000), r["lost"]);
    if (loaded)
      notes += Format("; a third peer sends 100 B to the echo at %.0f msgs/s", r["load_rate"]);
    else
      notes += Format("; median of 3 rounds (ratios %.2f, %.2f, %.2f; plain p50 %.0f us)", rounds[0].second,
                      rounds[1].second, rounds[2].second, r["plain"]);
    Row(loaded ? "latency p50 / p99, loaded" : "latency p50 / p99, idle",
        Format("%.0f / %.0f us", r["p50_us"], r["p99_us"]), rounds[rounds.size() / 2].second,
        "p50 / TCP round trip p50", notes);
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
       {std::make_tuple(5000, 64 << 10, "block 64 KiB"), std::make_tuple(1000, 1 << 20, "block 1 MiB")}) {
    if (!Wanted(figure))
      continue;
    VELBenchResult r = BenchPointToPoint(Scaled(count), bytes);
    Row(figure, Format("%.0f MB/s", r["mbps"]), Ratio(r["mbps"], copy["mbps"]), "memcpy 1 MiB",
        Format("%.0f blocks: lost %.0f, reordered %.0f, send call mean %.2f ms", Scaled(count), r["lost"],
               r["reordered"], r["meansend_us"] / 1000.0) +
            Format(", slowest %.2f ms", r["maxsend_us"] / 1000.0) +
            (bytes == 1 << 20
                 ? Format("; %.2f of one connection per block, ",
                          Ratio(r["mbps"], raw1m["rate"] * 1.048576)) +
                       Format("%.2f of one connection for all", Ratio(r["mbps"], stream1m["mbps"]))
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
