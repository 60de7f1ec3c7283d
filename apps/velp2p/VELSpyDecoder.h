// Decodes one velp2p block, as a multicast datagram or a TCP stream carries it, into named fields and a
// one-line summary for people. The header and payloads are read by the library's own readers, so a block is
// called malformed exactly when peers refuse it; a refused header is described as far as it goes, with the
// reason.
#ifndef VELP2P_APPS_VELSPYDECODER_H
#define VELP2P_APPS_VELSPYDECODER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "VELConsoleJson.h"
#include "velp2p/VELP2PTypes.h"

class VELSpyDecoder {
 public:
  // The largest datagram a peer reads; a longer one is discarded whole.
  static const size_t kMaxDatagram = VELP2P_MULTICAST_MAX_BLOCK;

  struct Block {
    std::string senderName;
    std::string serviceName;
    std::string group;
    std::string summary;    // the payload in words
    std::string malformed;  // why peers would refuse the block; empty when they would take it
  };

  // statusName, when given, names status numbers in the records and summaries.
  typedef const char* (*StatusNamer)(int32_t status);
  explicit VELSpyDecoder(StatusNamer statusName = nullptr) : _statusName(statusName) {}

  // Decodes the size bytes at bytes; datagram: they came as one multicast datagram. The decoded fields are
  // appended to json in the order of the block, "malformed" last when there is a reason.
  Block Decode(const uint8_t* bytes, size_t size, bool datagram, VELConsoleJson& json) const;

 private:
  StatusNamer _statusName;
};

#endif
