// Token buckets per IPv4 address for the work other hosts can make the local peer do on its own: one bucket
// for what the messages from an address may provoke, one for the connections made to an address.
#ifndef VELP2P_CORE_VELP2PADDRESSBUDGETS_H
#define VELP2P_CORE_VELP2PADDRESSBUDGETS_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>

// The table is bounded. An entry is forgotten only once both its buckets are full again, when forgetting it
// changes nothing: evicting a spent entry would hand its address a fresh allowance. When none of the stalest
// entries may go, a new address gets no allowance until one may. Forgetting that an address was heard from
// only lowers what may be sent to it.
class VELP2PAddressBudgets {
 public:
  struct Rate {
    float burst;
    float perSecond;
  };
  struct Rates {
    Rate source;   // what the messages from one address may provoke
    Rate heard;    // connections to an address something came from
    Rate unheard;  // connections to any other address
  };

  VELP2PAddressBudgets(size_t capacity, const Rates& rates);

  // Something came from address (network order): it counts as heard from while it is remembered.
  void Heard(uint32_t address, uint32_t nowMs);
  bool IsHeard(uint32_t address) const;
  // Takes one unit from the bucket of the source (unless withSource is false) and one from that of the
  // destination: both, or neither when either is spent or has no room in the table.
  bool Take(bool withSource, uint32_t source, uint32_t destination, uint32_t nowMs);
  size_t Size() const { return _index.size(); }

 private:
  // Times are milliseconds modulo 2^32: only differences of less than 49 days are used.
  struct Entry {
    uint32_t address;
    bool heard;
    float sourceTokens;
    float destinationTokens;
    uint32_t sourceRefilled;
    uint32_t destinationRefilled;
  };
  static constexpr int kEvictionCandidates = 8;  // stalest entries looked at for one that may go

  const Rate& DestinationRate(const Entry& entry) const {
    return entry.heard ? _rates.heard : _rates.unheard;
  }
  void Refill(Entry& entry, uint32_t nowMs) const;
  // The entry of address, made the most recent; created when absent and there is room. Never evicts keep.
  Entry* Find(uint32_t address, uint32_t nowMs, uint32_t keep);

  size_t _capacity;
  Rates _rates;
  std::list<Entry> _entries;  // most recently used first
  std::unordered_map<uint32_t, std::list<Entry>::iterator> _index;
};

#endif
