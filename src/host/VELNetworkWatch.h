// Tells when this host gains an IPv4 address that can carry traffic again: the sign that a network it lost
// (a cable, a Wi-Fi link, a carrier) came back.
#ifndef VELP2P_HOST_VELNETWORKWATCH_H
#define VELP2P_HOST_VELNETWORKWATCH_H

#include <cstdint>
#include <functional>
#include <vector>

class VELNetworkWatch {
 public:
  using Reader = std::function<std::vector<uint32_t>()>;

  // reader gives the usable addresses; null reads the host's interfaces (UsableIPv4).
  explicit VELNetworkWatch(Reader reader = nullptr);

  // Reads the usable addresses; true when one is usable that was not at the previous reading. The first
  // reading only sets what later ones compare with.
  bool Regained();

  // The IPv4 addresses, network order, of the interfaces that are up and running (carrier present), loopback
  // excepted.
  static std::vector<uint32_t> UsableIPv4();

 private:
  Reader _reader;
  std::vector<uint32_t> _usable;  // sorted, from the previous reading
  bool _read = false;
};

#endif
