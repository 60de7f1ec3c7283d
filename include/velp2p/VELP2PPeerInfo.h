// One known peer: its name, the group it was heard in, and the endpoint records it announced.
#ifndef VELP2P_VELP2PPEERINFO_H
#define VELP2P_VELP2PPEERINFO_H

#include <cstdint>
#include <memory>

#include "velp2p/VELP2PTypes.h"
#include "velp2p/VELResult.h"
#include "velp2p/VELUnicodeString.h"

struct VELP2PRecordFacts;

class VELP2PPeerInfo {
 public:
  VELP2PPeerInfo(const VELUnicodeString& name, int count, const VELUnicodeString& group);
  ~VELP2PPeerInfo();
  VELP2PPeerInfo(const VELP2PPeerInfo&) = delete;
  VELP2PPeerInfo& operator=(const VELP2PPeerInfo&) = delete;

  // Parses count self-sized endpoint records from the length bytes of buffer and appends them. A record
  // that runs past length, or that is too short to hold the 8-byte fields, fails the parse.
  VELResult Initialize(const char* buffer, int length);
  // The endpoint records, or null while none was parsed.
  VELListPtrVELP2PEndPointInfo* GetEndPointsInfoList() { return _records ? &_endpoints : nullptr; }

  VELUnicodeString name;   // also the key under which the record is stored
  VELUnicodeString group;  // the group in which the peer was heard
  int count;               // number of endpoint records announced

 private:
  // A directory holds thousands of these: the list lives inline and each Initialize copies its records into
  // one buffer, whose first bytes own the buffer of the Initialize before it.
  friend struct VELP2PRecordFacts;
  VELListPtrVELP2PEndPointInfo _endpoints;    // points into the buffers
  std::unique_ptr<uint8_t[]> _records;        // the last buffer; null until a parse began
  std::unique_ptr<VELP2PRecordFacts> _facts;  // what the library knows of where it came from; may be null
};

#endif
