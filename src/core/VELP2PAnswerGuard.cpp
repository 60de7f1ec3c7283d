#include "core/VELP2PAnswerGuard.h"

#include <algorithm>

#include "host/VELLocalAddress.h"

using Clock = std::chrono::steady_clock;

VELP2PAnswerGuard& VELP2PAnswerGuard::Instance() {
  static VELP2PAnswerGuard guard;
  return guard;
}

VELP2PAnswerGuard::Scope::Scope(const std::string& sender, bool group, VELP2POrigin origin)
    : _sender(sender), _group(group), _origin(origin), _outer(Instance()._current) {
  VELP2PAnswerGuard& guard = Instance();
  guard._current = this;
  if (group && origin != VELP2POrigin::kUnknown)
    guard.Find(sender).elsewhere = origin == VELP2POrigin::kElsewhere;
}

VELP2PAnswerGuard::Scope::~Scope() {
  Instance()._current = _outer;
}

VELP2PAnswerGuard::Entry& VELP2PAnswerGuard::Find(const std::string& name) {
  auto found = _names.find(name);
  if (found == _names.end()) {
    if (_names.size() >= kMaxNames) {
      _names.erase(std::min_element(_names.begin(), _names.end(), [](const auto& a, const auto& b) {
        return a.second.touched < b.second.touched;
      }));
    }
    found = _names.emplace(name, Entry()).first;
  }
  found->second.touched = Clock::now();
  return found->second;
}

bool VELP2PAnswerGuard::MayConnect(uint32_t addressNetworkOrder, const std::string& peerName) {
  if (VELIsForbiddenIPv4(addressNetworkOrder))
    return false;
  if (!VELIsLoopbackIPv4(addressNetworkOrder))
    return true;
  if (_current && _current->_group && _current->_origin != VELP2POrigin::kUnknown)
    return _current->_origin == VELP2POrigin::kThisHost;
  auto found = _names.find(peerName);
  return found == _names.end() || !found->second.elsewhere;
}

bool VELP2PAnswerGuard::TakeAnswer() {
  if (!Answering())
    return true;
  Entry& entry = Find(_current->_sender);
  auto now = Clock::now();
  std::chrono::duration<double> elapsed = now - entry.refilled;
  entry.refilled = now;
  entry.tokens = std::min<double>(kAnswerBurst, entry.tokens + elapsed.count() * kAnswersPerSecond);
  if (entry.tokens < 1)
    return false;
  entry.tokens -= 1;
  return true;
}

void VELP2PAnswerGuard::Reset() {
  _names.clear();
}
