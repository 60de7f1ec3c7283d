// Where the two sides of a measurement run: both on loopback in the bench's own namespace, or each in a
// network namespace of its own, the two joined by a veth pair (a link between hosts, without the hosts).
#ifndef VELP2P_BENCH_VELBENCHNET_H
#define VELP2P_BENCH_VELBENCHNET_H

#include <cstdint>
#include <memory>
#include <string>

class VELBenchNet {
 public:
  // Both sides on 127.0.0.1.
  VELBenchNet() = default;
  // Makes the two namespaces and the pair (root only); null when they cannot be made.
  static std::unique_ptr<VELBenchNet> Veth();
  // Deletes the namespaces it made.
  ~VELBenchNet();
  VELBenchNet(const VELBenchNet&) = delete;
  VELBenchNet& operator=(const VELBenchNet&) = delete;

  // In a child process: moves it into the namespace of side 0 or 1 (nothing on loopback).
  bool Enter(int side) const;
  // The address side listens and is reached at: dotted, and in network order.
  std::string Address(int side) const;
  uint32_t AddressNetworkOrder(int side) const;
  // TIME_WAIT sockets in the namespace of the calling process.
  static int TimeWaitSockets();
  bool IsVeth() const { return !_names[0].empty(); }

 private:
  std::string _names[2];  // the namespaces, empty on loopback
};

#endif
