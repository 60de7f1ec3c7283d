// The end-to-end measurements of velp2p: each starts its peers as child processes in a fresh configuration
// (its own multicast port) and returns its figures.
#ifndef VELP2P_BENCH_VELBENCHSCENARIOS_H
#define VELP2P_BENCH_VELBENCHSCENARIOS_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "VELBenchNet.h"
#include "VELBenchProcess.h"

// What a point-to-point sender puts at the start of every message.
struct VELBenchStamp {
  uint32_t seq;
  double sentUs;  // VELBenchNowUs() at the send
};

// A configuration file of its own (a new multicast port) for the next scenario; the caller unlinks it.
std::string VELBenchNewConfig();
// Another file with the same multicast port whose TCP endpoint is at address (for a side of a VELBenchNet).
std::string VELBenchConfigAt(const std::string& address);
// How the two peers of a point-to-point measurement run: where, and whether one takes a block per
// connection only (VELP2PPersistent=0).
struct VELBenchPair {
  const VELBenchNet* net = nullptr;  // null: both on loopback
  bool plainSender = false;
  bool plainReceiver = false;
};
// How one send went.
enum class VELBenchSend { kQueued, kQueueFull, kFailed };
// Sends count stamped messages of bytes (at least a stamp) with send; when the queue is full, lets the peer
// run with wait() and sends again; lets it run with turn() every 16 messages. Returns sent, failed, full,
// maxsend_us (the slowest send call), overms (calls over 1 ms) and meansend_us; reason() says why the
// first failed send failed.
VELBenchResult VELBenchSendStamped(int count, int bytes,
                                   const std::function<VELBenchSend(const std::vector<char>&)>& send,
                                   const std::function<void()>& wait, const std::function<void()>& turn,
                                   const std::function<std::string()>& reason);
// The body of a sender child (a C++ peer "s"): reports "ready" once it knows "r", waits for the go, sends
// count stamped messages of bytes to "r" (letting the loop run when the queue is full), reports sent,
// failed, full, maxsend_us, overms and meansend_us, then serves until stopped.
int VELBenchStampedSender(VELBenchControl& control, const std::string& config, int count, int bytes);
// Runs a point-to-point pair whose children each report "ready": the receiver's figures (received,
// reordered, rate, mbps, timewait), with the sender's (sent, failed, full, maxsend_us, overms, meansend_us,
// and sender_timewait when it reports a second line as it stops) and the messages lost between them. Empty
// when one did not come up.
VELBenchResult VELBenchRunPair(std::unique_ptr<VELBenchChild> receiver,
                               std::unique_ptr<VELBenchChild> sender);

// ms: the slowest peer's time from its init call until it has seen every other peer (median of rounds).
VELBenchResult BenchDiscovery(int peers, int rounds);
// rate (msgs/s at the receiver), lost, reordered, failed (send calls), maxsend_us, mbps; timewait (TIME_WAIT
// sockets in the receiver's namespace once it received everything) and sender_timewait (in the sender's, as
// it stops).
VELBenchResult BenchPointToPoint(int count, int bytes, const VELBenchPair& pair = VELBenchPair());
// p50_us, p99_us of round trips, idle and while another peer floods the echoing one.
VELBenchResult BenchLatency(int rounds, bool loaded);
// rate (changes/s sent), lost (summed over receivers), perreceiver (changes/s heard).
VELBenchResult BenchStatusFanOut(int receivers, int changes, int targetPerSecond);
// A forged birth listing 3 forbidden, 90 unanswering and 5 refused records: heard (0 or 1), late_us (the
// longest a 1 ms timer fired late in the 4 s that follow, while the answers are retried and given up).
VELBenchResult BenchForgedBirth();
// bytes (allocated bytes per directory entry), entries.
VELBenchResult BenchMemoryPerPeer(int records);

#endif
