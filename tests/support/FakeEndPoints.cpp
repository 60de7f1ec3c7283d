#include "support/FakeEndPoints.h"

#include <arpa/inet.h>

#include <cstdio>

#include "velp2p/VELP2PPeer.h"

std::vector<SentMessage>& FakeSent() {
  static std::vector<SentMessage> sent;
  return sent;
}

VELP2PEndPointInfo UnicastRecord(const char* dotted, int port) {
  VELP2PEndPointInfo record{};
  record.length = sizeof(VELP2PEndPointInfo);
  record.kind = VELP2P_ENDPOINT_UNICAST;
  record.port = htons(static_cast<uint16_t>(port));
  in_addr address{};
  inet_pton(AF_INET, dotted && *dotted ? dotted : "127.0.0.1", &address);
  record.address = address.s_addr;
  return record;
}

std::vector<std::string>& FakeInitialized() {
  static std::vector<std::string> initialized;
  return initialized;
}

int& FakeUnicastEndPoint::FailingPort() {
  static int port = -1;
  return port;
}

VELResult FakeUnicastEndPoint::Initialize(const char* address, int port) {
  VELResult result = VELP2PEndPoint::Initialize();
  if (VEL_FAILED(result))
    return result;
  _address = address ? address : "";
  _port = port;
  FakeInitialized().push_back("unicast " + _address + " " + std::to_string(port));
  *_endPointInfo = UnicastRecord(address, port);
  return VEL_S_OK;
}

VELResult FakeUnicastEndPoint::SendToPeer(VELUnicodeString& group, const char* serviceName, char* data,
                                          int length, VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo*) {
  if (!endPointInfo)
    return VEL_E_FAIL;
  if (ntohs(endPointInfo->port) == FailingPort())
    return VEL_E_FAIL;
  SentMessage sent{false, group.Str(), serviceName ? serviceName : "",
                   std::vector<char>(data, data + (length > 0 ? length : 0)), *endPointInfo};
  FakeSent().push_back(std::move(sent));
  return VEL_S_OK;
}

VELResult FakeMulticastEndPoint::Initialize(const char* address, int port) {
  VELResult result = VELP2PEndPoint::Initialize();
  if (VEL_FAILED(result))
    return result;
  FakeInitialized().push_back(std::string("multicast ") + (address ? address : "") + " " +
                              std::to_string(port));
  _address = address && *address ? address : "224.0.1.85";
  _port = port ? port : 2678;
  in_addr parsed{};
  inet_pton(AF_INET, _address.c_str(), &parsed);
  _endPointInfo->length = sizeof(VELP2PEndPointInfo);
  _endPointInfo->kind = VELP2P_ENDPOINT_MULTICAST;
  _endPointInfo->port = htons(static_cast<uint16_t>(_port));
  _endPointInfo->address = htonl(parsed.s_addr);
  return VEL_S_OK;
}

VELResult FakeMulticastEndPoint::SendToGroup(VELUnicodeString& group, const char* serviceName, char* data,
                                             int length) {
  SentMessage sent{true, group.Str(), serviceName ? serviceName : "",
                   std::vector<char>(data, data + (length > 0 ? length : 0)), VELP2PEndPointInfo{}};
  FakeSent().push_back(std::move(sent));
  return VEL_S_OK;
}

ScopedClass::ScopedClass(const char* className, VELCreateFunction create)
    : _name(className), _previous(VELRegisterCreateExtension(className, create)) {}

ScopedClass::~ScopedClass() {
  if (_previous) {
    VELRegisterCreateExtension(_name.c_str(), _previous);
  } else {
    VELUnregisterCreateExtension(_name.c_str());
  }
}

namespace {

VELBaseUnknown* CreateFakeMulticast() {
  return new FakeMulticastEndPoint();
}
VELBaseUnknown* CreateFakeUnicast() {
  return new FakeUnicastEndPoint();
}
VELBaseUnknown* CreateFakeRecordless() {
  return new FakeRecordlessEndPoint();
}

}  // namespace

ScopedFakeEndPoints::ScopedFakeEndPoints()
    : _multicast("VELP2PMultiCastEndPoint", &CreateFakeMulticast),
      _unicast("VELP2PTCPEndPoint", &CreateFakeUnicast),
      _recordless("FakeRecordlessEndPoint", &CreateFakeRecordless) {}

VELResult Deliver(const char* group, const char* service, const char* sender,
                  const std::vector<char>& payload, bool multicast, const VELP2PEndPointInfo& senderUnicast) {
  VELP2PHeader built;
  VELUnicodeString groupText(group);
  static const char kEmpty = 0;
  VELResult result =
      multicast
          ? built.Build(groupText, service, sender, 0x55010E0, 0x760A, senderUnicast.address,
                        senderUnicast.port, payload.empty() ? &kEmpty : payload.data(),
                        static_cast<int>(payload.size()), 1)
          : built.Build(groupText, service, sender, senderUnicast.address, senderUnicast.port, 0, 0,
                        payload.empty() ? &kEmpty : payload.data(), static_cast<int>(payload.size()), 0);
  if (VEL_FAILED(result))
    return result;
  char* bytes = nullptr;
  int length = 0;
  if (VEL_FAILED(built.GetBuffer(bytes, length)))
    return VEL_E_FAIL;
  VELP2PHeader parsed;
  if (VEL_FAILED(parsed.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(bytes), length)))
    return VEL_E_FAIL;
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  return peer ? peer->Dispatch(parsed) : VEL_E_FAIL;
}

std::string Hex(const std::vector<char>& bytes) {
  std::string text;
  char pair[3];
  for (char byte : bytes) {
    std::snprintf(pair, sizeof(pair), "%02x", static_cast<unsigned char>(byte));
    text += pair;
  }
  return text;
}
