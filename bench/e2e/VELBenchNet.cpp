#include "VELBenchNet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const char* const kVethAddresses[2] = {"10.231.7.1", "10.231.7.2"};

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

std::unique_ptr<VELBenchNet> VELBenchNet::Veth() {
  auto net = std::make_unique<VELBenchNet>();
  // Several pairs may live at once: each has names of its own.
  static int pairs = 0;
  const std::string tag = "velbench" + std::to_string(getpid()) + "-" + std::to_string(pairs++);
  for (int side = 0; side < 2; ++side) {
    net->_names[side] = tag + (side == 0 ? "r" : "s");
    if (!Run("ip netns add " + net->_names[side]))
      return nullptr;  // the destructor deletes what was made
  }
  const std::string& r = net->_names[0];
  const std::string& s = net->_names[1];
  // Multicast goes through the link, so that the peers find each other as on a LAN.
  const bool made =
      Run("ip link add v0 netns " + r + " type veth peer name v1 netns " + s) &&
      Run("ip -n " + r + " addr add " + kVethAddresses[0] + "/24 dev v0") &&
      Run("ip -n " + s + " addr add " + kVethAddresses[1] + "/24 dev v1") &&
      Run("ip -n " + r + " link set v0 up") && Run("ip -n " + s + " link set v1 up") &&
      Run("ip -n " + r + " link set lo up") && Run("ip -n " + s + " link set lo up") &&
      Run("ip -n " + r + " route add 224.0.0.0/4 dev v0") &&
      Run("ip -n " + s + " route add 224.0.0.0/4 dev v1") &&
      // A connection per message leaves a TIME_WAIT socket per message on the side that closes first; as on
      // loopback, a new connection may take the port of one, or the ports run out after some 28,000.
      Run("ip netns exec " + r + " sysctl -qw net.ipv4.tcp_tw_reuse=1") &&
      Run("ip netns exec " + s + " sysctl -qw net.ipv4.tcp_tw_reuse=1");
  return made ? std::move(net) : nullptr;
}

VELBenchNet::~VELBenchNet() {
  for (const std::string& name : _names) {
    if (!name.empty())
      Run("ip netns del " + name);
  }
}

bool VELBenchNet::Enter(int side) const {
  if (!IsVeth())
    return true;
  int descriptor = open(("/var/run/netns/" + _names[side]).c_str(), O_RDONLY | O_CLOEXEC);
  bool entered = descriptor >= 0 && setns(descriptor, CLONE_NEWNET) == 0;
  if (descriptor >= 0)
    close(descriptor);
  return entered;
}

std::string VELBenchNet::Address(int side) const {
  return IsVeth() ? kVethAddresses[side] : "127.0.0.1";
}

uint32_t VELBenchNet::AddressNetworkOrder(int side) const {
  in_addr address{};
  inet_pton(AF_INET, Address(side).c_str(), &address);
  return address.s_addr;
}

int VELBenchNet::TimeWaitSockets() {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column names
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (fields >> slot >> local >> remote >> state && state == "06")
      ++count;
  }
  return count;
}
