#include "VELBenchScenarios.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "VELBenchBaselines.h"
#include "VELBenchNode.h"
#include "velp2p/VELLastError.h"
#include "velp2p/VELP2PHeader.h"

namespace {

const char* const kGroup = "224.0.1.85";
const int kReadyMs = 20000;

// Each scenario gets its own multicast port, so that late datagrams of one never reach the next.
int g_nextPort = 27100;
int g_port = 0;

}  // namespace

std::string VELBenchNewConfig() {
  g_port = g_nextPort++;
  std::string path = "/tmp/velp2p-bench-" + std::to_string(getpid()) + "-" + std::to_string(g_port) + ".cfg";
  FILE* file = std::fopen(path.c_str(), "w");
  if (file) {
    std::fprintf(file, "VELP2PTCPEndPoint|127.0.0.1|0\nVELP2PMultiCastEndPoint|%s|%d\n", kGroup, g_port);
    std::fclose(file);
  }
  return path;
}

std::string VELBenchConfigAt(const std::string& address) {
  std::string path =
      "/tmp/velp2p-bench-" + std::to_string(getpid()) + "-" + std::to_string(g_port) + "-" + address + ".cfg";
  FILE* file = std::fopen(path.c_str(), "w");
  if (file) {
    std::fprintf(file, "VELP2PTCPEndPoint|%s|0\nVELP2PMultiCastEndPoint|%s|%d\n", address.c_str(), kGroup,
                 g_port);
    std::fclose(file);
  }
  return path;
}

namespace {

using Stamp = VELBenchStamp;

// In a child: moves into the side's namespace, with the configuration of that side, one block per connection
// when plain. Empty when the namespace cannot be entered.
std::string EnterSide(const VELBenchPair& pair, int side, bool plain, const std::string& loopbackConfig) {
  if (plain)
    setenv("VELP2PPersistent", "0", 1);
  if (!pair.net)
    return loopbackConfig;
  return pair.net->Enter(side) ? VELBenchConfigAt(pair.net->Address(side)) : std::string();
}

double Median(std::vector<double> values) {
  if (values.empty())
    return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty())
    return -1;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

// Serves until done() holds, nothing happened for quietUs since last (the time of the latest progress, 0
// before any), the control says stop, or limitUs have passed.
void ServeUntil(VELBenchNode& node, VELBenchControl& control, const std::function<bool()>& done,
                const double& last, double quietUs, double limitUs) {
  double start = VELBenchNowUs();
  node.App().RunUntil(
      [&] {
        double now = VELBenchNowUs();
        return done() || (last > 0 && now - last > quietUs) || control.Stopped() || now - start > limitUs;
      },
      -1);
}

using Children = std::vector<std::unique_ptr<VELBenchChild>>;

// Collects the "ready" line of every child; false when one did not come up.
bool AllReady(Children& children) {
  bool ok = true;
  for (auto& child : children)
    ok = child->Result(kReadyMs).count("ready") != 0 && ok;
  return ok;
}

// Peers take a while to leave (they announce it); they do it side by side.
void StopAll(Children& children) {
  for (auto& child : children)
    child->Close();
  for (auto& child : children)
    child->Stop();
}

}  // namespace

VELBenchResult BenchDiscovery(int peers, int rounds) {
  std::vector<double> worst;
  int failed = 0;
  for (int round = 0; round < rounds; ++round) {
    std::string config = VELBenchNewConfig();
    std::set<std::string> all;
    for (int i = 0; i < peers; ++i)
      all.insert(VELBenchNode::NameOf("d" + std::to_string(i)));
    Children children;
    for (int i = 0; i < peers; ++i) {
      children.push_back(std::make_unique<VELBenchChild>([&, i](VELBenchControl& control) {
        if (!control.WaitGo(kReadyMs))
          return 1;
        std::string login = "d" + std::to_string(i);
        VELBenchNode node(login, config);
        std::set<std::string> others = all;
        others.erase(VELBenchNode::NameOf(login));
        double start = VELBenchNowUs();
        bool ok = node.Start() && node.WaitFor(others, 10000);
        control.Report({{"ms", ok ? (VELBenchNowUs() - start) / 1000.0 : -1}});
        node.Serve(control, 30000);
        return 0;
      }));
    }
    for (auto& child : children)
      child->Go();
    double slowest = 0;
    for (auto& child : children) {
      VELBenchResult result = child->Result(15000);
      if (!result.count("ms") || result["ms"] < 0)
        ++failed;
      else
        slowest = std::max(slowest, result["ms"]);
    }
    worst.push_back(slowest);
    StopAll(children);
    unlink(config.c_str());
  }
  return {{"ms", Median(worst)}, {"failed", failed}};
}

VELBenchResult BenchPointToPoint(int count, int bytes, const VELBenchPair& pair) {
  std::string config = VELBenchNewConfig();
  const std::string receiver = VELBenchNode::NameOf("r");
  const std::string sender = VELBenchNode::NameOf("s");
  Children children;
  children.push_back(std::make_unique<VELBenchChild>([&](VELBenchControl& control) {
    const std::string mine = EnterSide(pair, 0, pair.plainReceiver, config);
    if (mine.empty())
      return 1;
    VELBenchNode node("r", mine);
    if (!node.Start() || !node.WaitFor({sender}, 10000))
      return 1;
    double firstSent = 0, lastReceived = 0, received = 0, reordered = 0, total = 0;
    int64_t highest = -1;
    node.onMessage = [&](const VELBenchMessage& message) {
      Stamp stamp{};
      if (message.type != 1 || message.length < sizeof stamp)
        return;
      std::memcpy(&stamp, message.data, sizeof stamp);
      if (received == 0)
        firstSent = stamp.sentUs;
      ++received;
      total += message.length;
      if (static_cast<int64_t>(stamp.seq) < highest)
        ++reordered;
      else
        highest = stamp.seq;
      lastReceived = VELBenchNowUs();
    };
    control.Report({{"ready", 1}});
    ServeUntil(
        node, control, [&] { return received >= count; }, lastReceived, 3e6, 90e6);
    double span = std::max(1.0, lastReceived - firstSent);
    control.Report({{"received", received},
                    {"reordered", reordered},
                    {"rate", received * 1e6 / span},
                    {"mbps", total / span},
                    {"timewait", VELBenchNet::TimeWaitSockets()}});
    node.Serve(control, 30000);
    return 0;
  }));
  children.push_back(std::make_unique<VELBenchChild>([&](VELBenchControl& control) {
    const std::string mine = EnterSide(pair, 1, pair.plainSender, config);
    return mine.empty() ? 1 : VELBenchStampedSender(control, mine, count, bytes);
  }));
  VELBenchResult out = VELBenchRunPair(std::move(children[0]), std::move(children[1]));
  unlink(config.c_str());
  return out;
}

VELBenchResult VELBenchSendStamped(int count, int bytes,
                                   const std::function<VELBenchSend(const std::vector<char>&)>& send,
                                   const std::function<void()>& wait, const std::function<void()>& turn,
                                   const std::function<std::string()>& reason) {
  std::vector<char> data(static_cast<size_t>(std::max<int>(bytes, sizeof(Stamp))), 'm');
  double slowest = 0, failed = 0, sent = 0, full = 0, inSend = 0, overMs = 0;
  double start = VELBenchNowUs();
  for (int i = 0; i < count && VELBenchNowUs() - start < 60e6; ++i) {
    Stamp stamp{static_cast<uint32_t>(i), VELBenchNowUs()};
    std::memcpy(data.data(), &stamp, sizeof stamp);
    double began = stamp.sentUs;
    VELBenchSend result = send(data);
    for (;;) {
      const double took = VELBenchNowUs() - began;
      slowest = std::max(slowest, took);
      overMs += took > 1000 ? 1 : 0;
      inSend += took;
      if (result != VELBenchSend::kQueueFull || VELBenchNowUs() - start >= 60e6)
        break;
      // A full queue is the library's back-pressure: the application lets the peer run, then sends again.
      ++full;
      wait();
      began = VELBenchNowUs();
      result = send(data);
    }
    ++sent;
    if (result != VELBenchSend::kQueued && failed++ == 0)
      std::fprintf(stderr, "velp2p-bench: first failed send: %s\n", reason().c_str());
    if (i % 16 == 15)
      turn();
  }
  return {{"sent", sent},          {"failed", failed}, {"full", full},
          {"maxsend_us", slowest}, {"overms", overMs}, {"meansend_us", inSend / std::max(1.0, sent + full)}};
}

int VELBenchStampedSender(VELBenchControl& control, const std::string& config, int count, int bytes) {
  const std::string receiver = VELBenchNode::NameOf("r");
  VELBenchNode node("s", config);
  if (!node.Start() || !node.WaitFor({receiver}, 10000))
    return 1;
  control.Report({{"ready", 1}});
  if (!node.ServeUntilGo(control, 30000))
    return 1;
  control.Report(VELBenchSendStamped(
      count, bytes,
      [&](const std::vector<char>& data) {
        VELResult result = node.Peer()->SendP2PMessage(receiver, 1, "b", const_cast<char*>(data.data()),
                                                       static_cast<int>(data.size()));
        if (VEL_SUCCEEDED(result))
          return VELBenchSend::kQueued;
        return VELP2PGetLastErrorCode() == VELP2P_ERROR_QUEUE_FULL ? VELBenchSend::kQueueFull
                                                                   : VELBenchSend::kFailed;
      },
      [&] { node.App().RunOnce(1); }, [&] { node.App().ProcessReady(); },
      [] { return std::string(VELP2PGetLastErrorText()); }));
  node.Serve(control, 60000);
  control.Report({{"sender_timewait", VELBenchNet::TimeWaitSockets()}});
  return 0;
}

VELBenchResult VELBenchRunPair(std::unique_ptr<VELBenchChild> receiver,
                               std::unique_ptr<VELBenchChild> sender) {
  Children children;
  children.push_back(std::move(receiver));
  children.push_back(std::move(sender));
  VELBenchResult out;
  if (AllReady(children)) {
    children[1]->Go();
    VELBenchResult sending = children[1]->Result(90000);
    VELBenchResult receiving = children[0]->Result(100000);
    out = receiving;
    for (const char* figure : {"sent", "failed", "full", "maxsend_us", "overms", "meansend_us"})
      out[figure] = sending[figure];
    out["lost"] = sending["sent"] - sending["failed"] - receiving["received"];
    children[1]->Close();
    VELBenchResult stopping = children[1]->Result(10000);
    if (stopping.count("sender_timewait"))
      out["sender_timewait"] = stopping["sender_timewait"];
  }
  StopAll(children);
  return out;
}

VELBenchResult BenchLatency(int rounds, bool loaded) {
  std::string config = VELBenchNewConfig();
  const std::string echo = VELBenchNode::NameOf("e");
  const std::string pinger = VELBenchNode::NameOf("p");
  const std::string loader = VELBenchNode::NameOf("l");
  Children children;
  children.push_back(std::make_unique<VELBenchChild>([&](VELBenchControl& control) {
    VELBenchNode node("e", config);
    std::set<std::string> wanted{pinger};
    if (loaded)
      wanted.insert(loader);
    if (!node.Start() || !node.WaitFor(wanted, 10000))
      return 1;
    node.onMessage = [&](const VELBenchMessage& message) {
      if (message.type == 2)
        node.Peer()->SendP2PMessage(message.from, 3, "b", const_cast<char*>(message.data),
                                    static_cast<int>(message.length));
    };
    control.Report({{"ready", 1}});
    node.Serve(control, 120000);
    return 0;
  }));
  children.push_back(std::make_unique<VELBenchChild>([&](VELBenchControl& control) {
    VELBenchNode node("p", config);
    if (!node.Start() || !node.WaitFor({echo}, 10000))
      return 1;
    int64_t answered = -1;
    node.onMessage = [&](const VELBenchMessage& message) {
      Stamp stamp{};
      if (message.type == 3 && message.length >= sizeof stamp) {
        std::memcpy(&stamp, message.data, sizeof stamp);
        answered = stamp.seq;
      }
    };
    control.Report({{"ready", 1}});
    if (!node.ServeUntilGo(control, 30000))
      return 1;
    std::vector<double> trips;
    double timeouts = 0;
    char data[100] = {};
    for (int i = 0; i < rounds; ++i) {
      Stamp stamp{static_cast<uint32_t>(i), VELBenchNowUs()};
      std::memcpy(data, &stamp, sizeof stamp);
      node.Peer()->SendP2PMessage(echo, 2, "b", data, sizeof data);
      if (node.App().RunUntil([&] { return answered == i; }, 2000))
        trips.push_back(VELBenchNowUs() - stamp.sentUs);
      else
        ++timeouts;
    }
    control.Report(
        {{"p50_us", Percentile(trips, 0.5)}, {"p99_us", Percentile(trips, 0.99)}, {"lost", timeouts}});
    node.Serve(control, 30000);
    return 0;
  }));
  if (loaded) {
    children.push_back(std::make_unique<VELBenchChild>([&](VELBenchControl& control) {
      VELBenchNode node("l", config);
      if (!node.Start() || !node.WaitFor({echo}, 10000))
        return 1;
      control.Report({{"ready", 1}});
      if (!node.ServeUntilGo(control, 30000))
        return 1;
      char data[100] = {};
      double start = VELBenchNowUs();
      int sent = 0;
      while (!control.Stopped() && sent < 300000 && VELBenchNowUs() - start < 60e6) {
        node.Peer()->SendP2PMessage(echo, 1, "b", data, sizeof data);
        if (++sent % 16 == 0)
          node.App().ProcessReady();
      }
      control.Report({{"rate", sent * 1e6 / (VELBenchNowUs() - start)}});
      return 0;
    }));
  }
  VELBenchResult out;
  if (AllReady(children)) {
    if (loaded)
      children[2]->Go();
    children[1]->Go();
    out = children[1]->Result(120000);
    if (loaded) {
      children[2]->Close();
      out["load_rate"] = children[2]->Result(1000)["rate"];
    }
  }
  StopAll(children);
  unlink(config.c_str());
  return out;
}

VELBenchResult BenchStatusFanOut(int receivers, int changes, int targetPerSecond) {
  std::string config = VELBenchNewConfig();
  const std::string sender = VELBenchNode::NameOf("f");
  std::set<std::string> names;
  for (int i = 0; i < receivers; ++i)
    names.insert(VELBenchNode::NameOf("q" + std::to_string(i)));
  Children children;
  children.push_back(std::make_unique<VELBenchChild>([&](VELBenchControl& control) {
    VELBenchNode node("f", config);
    if (!node.Start() || !node.WaitFor(names, 10000))
      return 1;
    control.Report({{"ready", 1}});
    if (!node.ServeUntilGo(control, 30000))
      return 1;
    double failed = 0;
    double start = VELBenchNowUs();
    double interval = 1e6 / targetPerSecond;
    for (int i = 0; i < changes; ++i) {
      while (VELBenchNowUs() < start + i * interval)
        node.App().ProcessReady();
      if (VEL_FAILED(node.Peer()->ChangeP2PStatus(4, ("n" + std::to_string(i)).c_str())))
        ++failed;
    }
    double elapsed = VELBenchNowUs() - start;
    control.Report({{"rate", changes * 1e6 / elapsed}, {"failed", failed}, {"start", start}});
    node.Serve(control, 60000);
    return 0;
  }));
  for (int r = 0; r < receivers; ++r) {
    children.push_back(std::make_unique<VELBenchChild>([&, r](VELBenchControl& control) {
      VELBenchNode node("q" + std::to_string(r), config);
      if (!node.Start() || !node.WaitFor({sender}, 10000))
        return 1;
      std::vector<bool> heard(static_cast<size_t>(changes), false);
      double distinct = 0, last = 0;
      node.onStatus = [&](const std::string& from, int status, const std::string& description) {
        if (from != sender || status != 4 || description.size() < 2)
          return;
        size_t i = static_cast<size_t>(std::atoi(description.c_str() + 1));
        if (i < heard.size() && !heard[i]) {
          heard[i] = true;
          ++distinct;
          last = VELBenchNowUs();
        }
      };
      control.Report({{"ready", 1}});
      ServeUntil(
          node, control, [&] { return distinct >= changes; }, last, 2e6, 60e6);
      control.Report({{"heard", distinct}, {"last", last}});
      node.Serve(control, 30000);
      return 0;
    }));
  }
  VELBenchResult out;
  if (AllReady(children)) {
    children[0]->Go();
    VELBenchResult sending = children[0]->Result(60000);
    double lost = 0, rates = 0;
    for (int r = 1; r <= receivers; ++r) {
      VELBenchResult receiving = children[static_cast<size_t>(r)]->Result(70000);
      lost += changes - receiving["heard"];
      rates += receiving["heard"] * 1e6 / std::max(1.0, receiving["last"] - sending["start"]);
    }
    out = {{"rate", sending["rate"]},
           {"failed", sending["failed"]},
           {"lost", lost},
           {"perreceiver", rates / receivers}};
  }
  StopAll(children);
  unlink(config.c_str());
  return out;
}

namespace {

// A birth announcement of a peer that does not exist, as it would come from the network, listing the TCP
// records given as (address, port), both in network order.
std::vector<char> ForgedBirth(const std::string& name,
                              const std::vector<std::pair<uint32_t, uint16_t>>& records) {
  static uint32_t pid = 100000;
  ++pid;
  std::vector<char> payload = {'0', static_cast<char>(records.size() >> 8),
                               static_cast<char>(records.size())};
  payload.resize(7);
  std::memcpy(payload.data() + 3, &pid, 4);
  for (const auto& record : records) {
    char bytes[8] = {8, 1};
    std::memcpy(bytes + 2, &record.second, 2);
    std::memcpy(bytes + 4, &record.first, 4);
    payload.insert(payload.end(), bytes, bytes + 8);
  }
  in_addr group{};
  inet_pton(AF_INET, kGroup, &group);
  unsigned char reversed[4];
  std::memcpy(reversed, &group.s_addr, 4);
  std::reverse(reversed, reversed + 4);
  uint32_t groupRecord = 0;
  std::memcpy(&groupRecord, reversed, 4);
  VELP2PHeader header;
  if (VEL_FAILED(header.Build("/", "AwarenessService", name.c_str(), groupRecord,
                              htons(static_cast<uint16_t>(g_port)), htonl(INADDR_LOOPBACK), htons(9),
                              payload.data(), static_cast<int>(payload.size()), 1)))
    return {};
  char* bytes = nullptr;
  int length = 0;
  if (VEL_FAILED(header.GetBuffer(bytes, length)))
    return {};
  return std::vector<char>(bytes, bytes + length);
}

// One TCP record that points at a port where nothing listens, so that the answer is refused at once.
std::vector<char> ForgedBirth(int i) {
  return ForgedBirth("x" + std::to_string(i), {{htonl(INADDR_LOOPBACK), htons(9)}});
}

}  // namespace

VELBenchResult BenchMemoryPerPeer(int records) {
  std::string config = VELBenchNewConfig();
  Children children;
  children.push_back(std::make_unique<VELBenchChild>([&](VELBenchControl& control) {
    VELBenchNode node("m", config);
    if (!node.Start() || !node.WaitFor({VELBenchNode::NameOf("m")}, 10000))
      return 1;
    node.App().RunUntil([] { return false; }, 300);
    node.StopKeepingNames();
    double before = static_cast<double>(mallinfo2().uordblks);
    size_t known = node.Births();
    control.Report({{"ready", 1}});
    double lastGrowth = VELBenchNowUs();
    size_t seen = known;
    ServeUntil(
        node, control,
        [&] {
          if (node.Births() != seen) {
            seen = node.Births();
            lastGrowth = VELBenchNowUs();
          }
          return seen >= known + static_cast<size_t>(records);
        },
        lastGrowth, 2e6, 60e6);
    double entries = static_cast<double>(node.Births() - known);
    double grown = static_cast<double>(mallinfo2().uordblks) - before;
    control.Report({{"entries", entries}, {"bytes", entries > 0 ? grown / entries : -1}});
    node.Serve(control, 30000);
    return 0;
  }));
  VELBenchResult out;
  if (AllReady(children)) {
    sockaddr_in to{};
    int fd = OpenMulticastSender(kGroup, g_port, to);
    for (int i = 0; i < records; ++i) {
      std::vector<char> datagram = ForgedBirth(i);
      sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      if (i % 10 == 9)
        usleep(1000);  // paces the injection so that the receive buffer never overflows
    }
    close(fd);
    out = children[0]->Result(70000);
  }
  StopAll(children);
  unlink(config.c_str());
  return out;
}

VELBenchResult BenchForgedBirth() {
  // A listener whose backlog is full never completes a handshake: the records naming it never answer.
  int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(silent, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(silent, 0) != 0 ||
      getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(filler, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(silent);
    close(filler);
    return {};
  }
  std::vector<std::pair<uint32_t, uint16_t>> records = {{htonl(INADDR_ANY), address.sin_port},
                                                        {htonl(0xE0000001u), address.sin_port},
                                                        {htonl(INADDR_BROADCAST), address.sin_port}};
  records.insert(records.end(), 90, {htonl(INADDR_LOOPBACK), address.sin_port});
  records.insert(records.end(), 5, {htonl(INADDR_LOOPBACK), htons(9)});
  std::string config = VELBenchNewConfig();
  Children children;
  children.push_back(std::make_unique<VELBenchChild>([&](VELBenchControl& control) {
    VELBenchNode node("v", config);
    if (!node.Start() || !node.WaitFor({VELBenchNode::NameOf("v")}, 10000))
      return 1;
    control.Report({{"ready", 1}});
    // A timer due every millisecond: how late it fires is how long the loop was held.
    double latest = 0, due = VELBenchNowUs() + 1000, heardAt = 0;
    std::function<void()> tick = [&] {
      latest = heardAt > 0 ? std::max(latest, VELBenchNowUs() - due) : latest;
      due = VELBenchNowUs() + 1000;
      node.App().AddTimer(1, tick);
    };
    node.App().AddTimer(1, tick);
    node.App().RunUntil(
        [&] {
          if (heardAt == 0 && node.Births() > 1)
            heardAt = VELBenchNowUs();
          return (heardAt > 0 && VELBenchNowUs() - heardAt > 4e6) || control.Stopped();
        },
        30000);
    control.Report({{"heard", heardAt > 0 ? 1 : 0}, {"late_us", latest}});
    node.Serve(control, 30000);
    return 0;
  }));
  VELBenchResult out;
  if (AllReady(children)) {
    sockaddr_in to{};
    int fd = OpenMulticastSender(kGroup, g_port, to);
    std::vector<char> datagram = ForgedBirth("mallory", records);
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
    out = children[0]->Result(40000);
  }
  StopAll(children);
  unlink(config.c_str());
  close(filler);
  close(silent);
  return out;
}
