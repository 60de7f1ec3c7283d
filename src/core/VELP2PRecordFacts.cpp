#include "core/VELP2PRecordFacts.h"

#include <unordered_map>

#include "core/VELP2PAnswerGuard.h"
#include "velp2p/VELP2PPeerInfo.h"

namespace {

// Never destroyed: records may outlive static destruction (the clean-up at process exit destroys them).
std::unordered_map<const VELP2PPeerInfo*, VELP2PRecordFacts>& Table() {
  static auto* table = new std::unordered_map<const VELP2PPeerInfo*, VELP2PRecordFacts>();
  return *table;
}

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
  auto found = Table().find(record);
  return found == Table().end() ? nullptr : &found->second;
}

void VELP2PRecordFacts::Attach(const VELP2PPeerInfo* record) {
  if (const VELP2PSource* source = VELP2PAnswerGuard::Instance().CurrentSource())
    Table()[record].source = *source;
}

void VELP2PRecordFacts::Detach(const VELP2PPeerInfo* record) {
  Table().erase(record);
}

size_t VELP2PRecordFacts::Count() {
  return Table().size();
}

bool VELP2PRecordFacts::SameEndPoint(VELP2PPeerInfo& one, VELP2PPeerInfo& other) {
  const VELP2PEndPointInfo* a = FirstUnicast(one);
  const VELP2PEndPointInfo* b = FirstUnicast(other);
  if (!a || !b)
    return !a && !b;
  return a->address == b->address && a->port == b->port;
}
