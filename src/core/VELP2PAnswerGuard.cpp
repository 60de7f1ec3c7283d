#include "core/VELP2PAnswerGuard.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "host/VELLocalAddress.h"

namespace {

uint64_t RotateLeft(uint64_t x, int bits) {
  return (x << bits) | (x >> (64 - bits));
}

// SipHash-2-4: a keyed hash made for tables whose keys an adversary picks.
uint64_t SipHash(const uint64_t secret[2], const std::string& text) {
  uint64_t v0 = 0x736f6d6570736575ULL ^ secret[0], v1 = 0x646f72616e646f6dULL ^ secret[1];
  uint64_t v2 = 0x6c7967656e657261ULL ^ secret[0], v3 = 0x7465646279746573ULL ^ secret[1];
  auto round = [&]() {
    v0 += v1, v1 = RotateLeft(v1, 13), v1 ^= v0, v0 = RotateLeft(v0, 32);
    v2 += v3, v3 = RotateLeft(v3, 16), v3 ^= v2;
    v0 += v3, v3 = RotateLeft(v3, 21), v3 ^= v0;
    v2 += v1, v1 = RotateLeft(v1, 17), v1 ^= v2, v2 = RotateLeft(v2, 32);
  };
  auto absorb = [&](uint64_t word) {
    v3 ^= word;
    round();
    round();
    v0 ^= word;
  };
  const size_t size = text.size(), whole = size & ~static_cast<size_t>(7);
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    absorb(word);
  }
  uint64_t last = static_cast<uint64_t>(size) << 56;
  for (size_t i = whole; i < size; ++i)
    last |= static_cast<uint64_t>(static_cast<unsigned char>(text[i])) << (8 * (i - whole));
  absorb(last);
  v2 ^= 0xff;
  for (int i = 0; i < 4; ++i)
    round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

VELP2PAnswerGuard& VELP2PAnswerGuard::Instance() {
  static VELP2PAnswerGuard guard;
  return guard;
}

VELP2PAnswerGuard::VELP2PAnswerGuard() : _epoch(std::chrono::steady_clock::now()) {
  std::random_device random;
  for (uint64_t& word : _secret)
    word = (static_cast<uint64_t>(random()) << 32) ^ random();
}

uint64_t VELP2PAnswerGuard::Key(const std::string& name) const {
  return SipHash(_secret, name);
}

uint32_t VELP2PAnswerGuard::NowMs() const {
  auto elapsed = std::chrono::steady_clock::now() - _epoch;
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

VELP2PAnswerGuard::Scope::Scope(const std::string& sender, bool group, const VELP2PSource& source)
    : _sender(Instance().Key(sender)), _group(group), _source(source), _outer(Instance()._current) {
  VELP2PAnswerGuard& guard = Instance();
  guard._current = this;
  if (group && source.origin != VELP2POrigin::kUnknown)
    guard.Find(_sender).elsewhere = source.origin == VELP2POrigin::kElsewhere;
}

VELP2PAnswerGuard::Scope::~Scope() {
  Instance()._current = _outer;
}

VELP2PAnswerGuard::Entry& VELP2PAnswerGuard::Find(uint64_t key) {
  const uint32_t now = NowMs();
  auto found = _names.find(key);
  if (found == _names.end()) {
    if (_names.size() >= kMaxNames) {
      _names.erase(std::max_element(_names.begin(), _names.end(), [now](const auto& a, const auto& b) {
        return now - a.second.touched < now - b.second.touched;
      }));
    }
    found = _names.emplace(key, Entry()).first;
    found->second.refilled = now;
  }
  found->second.touched = now;
  return found->second;
}

bool VELP2PAnswerGuard::MayConnect(uint32_t addressNetworkOrder, const std::string& peerName) {
  if (VELIsForbiddenIPv4(addressNetworkOrder))
    return false;
  if (!VELIsLoopbackIPv4(addressNetworkOrder))
    return true;
  if (_current && _current->_group && _current->_source.origin != VELP2POrigin::kUnknown)
    return _current->_source.origin == VELP2POrigin::kThisHost;
  auto found = _names.find(Key(peerName));
  return found == _names.end() || !found->second.elsewhere;
}

bool VELP2PAnswerGuard::TakeAnswer() {
  if (!Answering())
    return true;
  Entry& entry = Find(_current->_sender);
  const uint32_t now = NowMs();
  const float refill = static_cast<float>(now - entry.refilled) * kAnswersPerSecond / 1000.0f;
  entry.refilled = now;
  entry.tokens = std::min<float>(kAnswerBurst, entry.tokens + refill);
  if (entry.tokens < 1)
    return false;
  entry.tokens -= 1;
  return true;
}

void VELP2PAnswerGuard::Reset() {
  _names.clear();
}
