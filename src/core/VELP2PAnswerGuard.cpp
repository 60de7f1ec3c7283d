#include "core/VELP2PAnswerGuard.h"

#include "core/VELP2PRecordFacts.h"
#include "host/VELLocalAddress.h"

VELP2PAnswerGuard::VELP2PAnswerGuard()
    : _epoch(std::chrono::steady_clock::now()),
      _budgets(kMaxAddresses, VELP2PAddressBudgets::Rates{{kHostBurst, kHostPerSecond},
                                                          {kHeardBurst, kHeardPerSecond},
                                                          {kUnheardBurst, kUnheardPerSecond}}) {}

uint32_t VELP2PAnswerGuard::NowMs() const {
  auto elapsed = std::chrono::steady_clock::now() - _epoch;
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

VELP2PAnswerGuard::Scope::Scope(VELP2PAnswerGuard& guard, bool group, const VELP2PSource& source)
    : _guard(guard), _group(group), _source(source), _outer(guard._current) {
  guard._current = this;
  if (source.address != 0)
    guard._budgets.Heard(source.address, guard.NowMs());
}

VELP2PAnswerGuard::Scope::Scope(VELP2PAnswerGuard& guard, ForApplication)
    : _guard(guard), _application(true), _outer(guard._current) {
  guard._current = this;
}

VELP2PAnswerGuard::Scope::~Scope() {
  _guard._current = _outer;
}

bool VELP2PAnswerGuard::MayConnect(uint32_t addressNetworkOrder, const VELP2PPeerInfo* record) const {
  if (VELIsForbiddenIPv4(addressNetworkOrder))
    return false;
  // Services that trust callers of this host (loopback listeners above all) are no business of other hosts.
  if (!VELIsLocalIPv4(addressNetworkOrder))
    return true;
  if (Answering() && _current->_source.origin == VELP2POrigin::kElsewhere)
    return false;
  const VELP2PRecordFacts* facts = VELP2PRecordFacts::Of(record);
  return !facts || facts->source.origin != VELP2POrigin::kElsewhere;
}

bool VELP2PAnswerGuard::TakeAnswer(uint32_t destinationNetworkOrder) {
  if (!Answering())
    return true;
  const uint32_t now = NowMs();
  HearLocal(destinationNetworkOrder, now);
  return _budgets.Take(true, _current->_source.address, destinationNetworkOrder, now);
}

bool VELP2PAnswerGuard::MayCheck(uint32_t addressNetworkOrder, const VELP2PPeerInfo* record) {
  if (!MayConnect(addressNetworkOrder, record))
    return false;
  const uint32_t now = NowMs();
  HearLocal(addressNetworkOrder, now);
  return _budgets.Take(false, 0, addressNetworkOrder, now);
}

void VELP2PAnswerGuard::HearLocal(uint32_t addressNetworkOrder, uint32_t nowMs) {
  // Peers of this host often listen on an address their datagrams do not come from (loopback): connecting
  // to this host harms no third one, and only records from this host may name it.
  if (VELIsLocalIPv4(addressNetworkOrder))
    _budgets.Heard(addressNetworkOrder, nowMs);
}
