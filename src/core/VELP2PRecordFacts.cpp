#include "core/VELP2PRecordFacts.h"

#include "core/VELP2PAnswerGuard.h"
#include "velp2p/VELP2PPeerInfo.h"

namespace {

const VELP2PEndPointInfo* FirstUnicast(VELP2PPeerInfo& record) {
  VELListPtrVELP2PEndPointInfo* records = record.GetEndPointsInfoList();
  for (int i = 1; records && i <= records->Size(); ++i) {
    const VELP2PEndPointInfo* endpoint = (*records)[i];
    if (endpoint && (endpoint->kind & VELP2P_ENDPOINT_UNICAST) &&
        !(endpoint->kind & VELP2P_ENDPOINT_MULTICAST))
      return endpoint;
  }
  return nullptr;
}

}  // namespace

VELP2PRecordFacts* VELP2PRecordFacts::Of(const VELP2PPeerInfo* record) {
  return record ? record->_facts.get() : nullptr;
}

VELP2PRecordFacts* VELP2PRecordFacts::Attach(VELP2PPeerInfo& record, const VELP2PAnswerGuard& guard) {
  const VELP2PSource* source = guard.CurrentSource();
  if (!source)
    return nullptr;
  record._facts = std::make_unique<VELP2PRecordFacts>();
  record._facts->source = *source;
  return record._facts.get();
}

bool VELP2PRecordFacts::SameEndPoint(VELP2PPeerInfo& one, VELP2PPeerInfo& other) {
  const VELP2PEndPointInfo* a = FirstUnicast(one);
  const VELP2PEndPointInfo* b = FirstUnicast(other);
  if (!a || !b)
    return !a && !b;
  return a->address == b->address && a->port == b->port;
}
