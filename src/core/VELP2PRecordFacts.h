// What the local peer knows of a peer record beyond its fields: where the message that carried it came from
// and, for an awareness announcement, the process and the kind it gave.
#ifndef VELP2P_CORE_VELP2PRECORDFACTS_H
#define VELP2P_CORE_VELP2PRECORDFACTS_H

#include <cstdint>

#include "transport/VELP2PReceiver.h"

class VELP2PAnswerGuard;
class VELP2PPeerInfo;

// Held by the record, so that they last exactly as long as it, wherever it is kept. The services give a
// record made from a received message the facts of that message; a record made at any other time (by the
// application) has none.
struct VELP2PRecordFacts {
  VELP2PSource source;      // where the message that carried the record came from
  bool hasProcess = false;  // processId was announced
  int32_t processId = 0;
  char announcement = 0;  // the awareness kind that carried it ('0' birth, '1' answer); 0 for any other

  // Null for a record without facts.
  static VELP2PRecordFacts* Of(const VELP2PPeerInfo* record);
  // Gives the record the source of the message the guard's node is dispatching, and returns its facts;
  // null, and nothing given, outside a dispatch.
  static VELP2PRecordFacts* Attach(VELP2PPeerInfo& record, const VELP2PAnswerGuard& guard);
  // Whether two records lead to the same endpoint: their first unicast records name the same address and
  // port, or neither has one.
  static bool SameEndPoint(VELP2PPeerInfo& one, VELP2PPeerInfo& other);
};

#endif
