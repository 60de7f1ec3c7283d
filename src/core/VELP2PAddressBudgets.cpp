#include "core/VELP2PAddressBudgets.h"

#include <algorithm>

namespace {

void RefillBucket(float& tokens, uint32_t& refilled, uint32_t nowMs, float burst, float perSecond) {
  tokens = std::min(burst, tokens + static_cast<float>(nowMs - refilled) * perSecond / 1000.0f);
  refilled = nowMs;
}

}  // namespace

VELP2PAddressBudgets::VELP2PAddressBudgets(size_t capacity, const Rates& rates)
    : _capacity(std::max<size_t>(capacity, 1)), _rates(rates) {}

void VELP2PAddressBudgets::Refill(Entry& entry, uint32_t nowMs) const {
  RefillBucket(entry.sourceTokens, entry.sourceRefilled, nowMs, _rates.source.burst, _rates.source.perSecond);
  const Rate& rate = DestinationRate(entry);
  RefillBucket(entry.destinationTokens, entry.destinationRefilled, nowMs, rate.burst, rate.perSecond);
}

VELP2PAddressBudgets::Entry* VELP2PAddressBudgets::Find(uint32_t address, uint32_t nowMs, uint32_t keep) {
  auto found = _index.find(address);
  if (found != _index.end()) {
    _entries.splice(_entries.begin(), _entries, found->second);
    return &*found->second;
  }
  if (_index.size() >= _capacity) {
    auto candidate = _entries.end();
    for (int looked = 0; looked < kEvictionCandidates && candidate != _entries.begin(); ++looked) {
      --candidate;
      if (candidate->address == keep)
        continue;
      Refill(*candidate, nowMs);
      if (candidate->sourceTokens >= _rates.source.burst &&
          candidate->destinationTokens >= DestinationRate(*candidate).burst) {
        _index.erase(candidate->address);
        _entries.erase(candidate);
        break;
      }
    }
    if (_index.size() >= _capacity)
      return nullptr;
  }
  _entries.push_front(Entry{address, false, _rates.source.burst, _rates.unheard.burst, nowMs, nowMs});
  _index[address] = _entries.begin();
  return &_entries.front();
}

void VELP2PAddressBudgets::Heard(uint32_t address, uint32_t nowMs) {
  Entry* entry = Find(address, nowMs, address);
  if (!entry || entry->heard)
    return;
  // From now on the bucket refills at the heard rate; what it held is kept, so hearing an address does not
  // refill it at once, except for an address met just now.
  Refill(*entry, nowMs);
  if (entry->destinationTokens >= _rates.unheard.burst)
    entry->destinationTokens = _rates.heard.burst;
  entry->heard = true;
}

bool VELP2PAddressBudgets::IsHeard(uint32_t address) const {
  auto found = _index.find(address);
  return found != _index.end() && found->second->heard;
}

bool VELP2PAddressBudgets::Take(bool withSource, uint32_t source, uint32_t destination, uint32_t nowMs) {
  Entry* to = Find(destination, nowMs, withSource ? source : destination);
  Entry* from = withSource ? Find(source, nowMs, destination) : nullptr;
  if (!to || (withSource && !from))
    return false;
  Refill(*to, nowMs);
  if (from)
    Refill(*from, nowMs);
  if (to->destinationTokens < 1 || (from && from->sourceTokens < 1))
    return false;
  to->destinationTokens -= 1;
  if (from)
    from->sourceTokens -= 1;
  return true;
}
