// The payload readers on any bytes: the first byte picks the layout, the rest is the payload. Whatever a
// reader accepts must write back to the bytes it was read from; the sanitizers catch a view that points
// outside them, as the payload is copied to a buffer of exactly its size.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "velp2p/VELP2PPeerInfo.h"
#include "wire/VELP2PPayloads.h"

namespace {

void Check(bool holds) {
  if (!holds)
    std::abort();
}

bool WritesBack(const std::vector<char>& written, const char* data, size_t size) {
  return written.size() <= size && std::memcmp(written.data(), data, written.size()) == 0;
}

// The endpoint records a record payload carries, read as the directory reads them.
void ReadRecords(uint16_t count, const char* records, int bytes) {
  VELP2PPeerInfo info("sender", count, "/P2PRoot");
  if (VEL_SUCCEEDED(info.Initialize(records, bytes))) {
    VELListPtrVELP2PEndPointInfo* list = info.GetEndPointsInfoList();
    Check(count == 0 || (list && list->Size() == count));
  }
}

void Fuzz(uint8_t layout, const char* data, size_t size) {
  switch (layout % 6) {
    case 0: {
      VELP2PAnnouncement a;
      if (VELP2PReadAnnouncement(data, size, a)) {
        Check(a.records + a.recordBytes == data + size);
        // Without records the writer gives the same fixed part but for the count.
        const std::vector<char> fixed = VELP2PWriteAnnouncement(a.kind, a.processId, {});
        Check(fixed[0] == data[0] && std::memcmp(fixed.data() + 3, data + 3, 4) == 0 &&
              a.count == ((static_cast<uint8_t>(data[1]) << 8) | static_cast<uint8_t>(data[2])));
        ReadRecords(a.count, a.records, a.recordBytes);
      }
      break;
    }
    case 1: {
      VELP2PPeerRecords p;
      if (VELP2PReadPeerRecords(data, size, p)) {
        Check(p.records + p.recordBytes == data + size && p.command == static_cast<uint8_t>(data[0]));
        ReadRecords(p.count, p.records, p.recordBytes);
      }
      break;
    }
    case 2: {
      VELP2PStatusPayload s;
      if (VELP2PReadStatus(data, size, s)) {
        Check(WritesBack(VELP2PWriteStatus(s.kind, s.status, std::string(s.desc ? s.desc : "", s.descBytes)),
                         data, size));
      }
      break;
    }
    case 3: {
      VELP2PChatPayload c;
      if (VELP2PReadChat(data, size, c)) {
        const std::vector<char> written =
            VELP2PWriteChat(c.type, std::string(c.header, c.headerBytes), c.data, c.dataBytes);
        Check(written.size() == size && WritesBack(written, data, size));
      }
      break;
    }
    case 4: {
      VELP2PSessionPayload s;
      if (VELP2PReadSession(data, size, s)) {
        Check(s.nameBytes > 0);
        Check(WritesBack(VELP2PWriteSession(s.event, s.sessionType, std::string(s.name, s.nameBytes)), data,
                         size));
      }
      break;
    }
    default: {
      std::string component;
      if (VELP2PReadGroupComponent(data, size, component))
        Check(WritesBack(VELP2PWriteGroupComponent(component), data, size));
      break;
    }
  }
}

int fixedLayout = -1;  // VELP2P_FUZZ_LAYOUT pins one reader, so that each can be run on its own

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* layout = std::getenv("VELP2P_FUZZ_LAYOUT"))
    fixedLayout = std::atoi(layout);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  // A copy of exactly the payload's bytes, so that a read past them is caught.
  std::vector<char> payload(reinterpret_cast<const char*>(data) + 1,
                            reinterpret_cast<const char*>(data) + size);
  Fuzz(fixedLayout >= 0 ? static_cast<uint8_t>(fixedLayout) : data[0],
       payload.empty() ? nullptr : payload.data(), payload.size());
  return 0;
}
