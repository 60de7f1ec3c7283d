#include "support/FakeEndPoints.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "core/VELP2PNode.h"
#include "support/Blocks.h"
#include "transport/VELP2PEndPointRecord.h"
#include "transport/VELP2PSending.h"

std::vector<SentMessage>& FakeSent() {
  static std::vector<SentMessage> sent;
  return sent;
}

std::vector<std::string>& FakeInitialized() {
  static std::vector<std::string> initialized;
  return initialized;
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

FakeEndPoint::FakeEndPoint(bool unicast) : _unicast(unicast) {}

VELResult FakeEndPoint::Initialize(const char* address, int port) {
  std::string given = address ? address : "";
  FakeInitialized().push_back((_unicast ? "unicast " : "multicast ") + given + " " + std::to_string(port));
  if (_unicast) {
    _address = given;
    _port = port;
    *_endPointInfo = UnicastRecord(address, port);
    return VEL_S_OK;
  }
  _address = given.empty() ? "224.0.1.85" : given;
  _port = port ? port : 2678;
  (void)VELP2PMakeReversedRecord(_address.c_str(), _port, VELP2P_ENDPOINT_MULTICAST, *_endPointInfo);
  return VEL_S_OK;
}

VELResult FakeEndPoint::SendToGroup(VELUnicodeString& group, const char* serviceName, char* data,
                                    int length) {
  if (wire)
    return VELP2PBaseEndPoint::SendToGroup(group, serviceName, data, length);
  if (_unicast)
    return VEL_E_FAIL;
  FakeSent().push_back({true, group.Str(), serviceName ? serviceName : "",
                        std::vector<char>(data, data + (length > 0 ? length : 0)), VELP2PEndPointInfo{}});
  return VEL_S_OK;
}

VELResult FakeEndPoint::SendToPeer(VELUnicodeString& group, const char* serviceName, char* data, int length,
                                   VELP2PEndPointInfo* endPointInfo, VELP2PPeerInfo* peerInfo) {
  if (wire)
    return VELP2PBaseEndPoint::SendToPeer(group, serviceName, data, length, endPointInfo, peerInfo);
  if (!_unicast || !endPointInfo)
    return VEL_E_FAIL;
  FakeSent().push_back({false, group.Str(), serviceName ? serviceName : "",
                        std::vector<char>(data, data + (length > 0 ? length : 0)), *endPointInfo,
                        _receiver && _receiver->Sending()->CurrentLane() == VELTCPSender::Lane::kAutomatic});
  return VEL_S_OK;
}

VELResult FakeEndPoint::SendBuffer(VELUnicodeString&, const char*, char* bytes, int byteLength,
                                   VELP2PEndPointInfo* record, VELP2PPeerInfo*) {
  blocks.push_back({std::vector<char>(bytes, bytes + byteLength), record ? *record : VELP2PEndPointInfo{}});
  if (failFrom >= 0 && static_cast<int>(blocks.size()) > failFrom)
    return VEL_E_FAIL;
  return feedBack ? ReceiveBytes(blocks.back().bytes) : VEL_S_OK;
}

VELResult FakeEndPoint::ReceiveBytes(const std::vector<char>& bytes, int size, const char* source) {
  const size_t count = size < 0 ? bytes.size() : static_cast<size_t>(size);
  std::unique_ptr<char[]> copy(new char[count > 0 ? count : 1]);
  std::memcpy(copy.get(), bytes.data(), count);
  const VELP2PEndPointInfo from = UnicastRecord(source, 0);
  return Receive(copy.get(), static_cast<int>(count), source ? &from : nullptr);
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

ScopedFakeEndPoints::ScopedFakeEndPoints()
    : _multicast("VELP2PMultiCastEndPoint", []() -> VELBaseUnknown* { return new FakeEndPoint(false); }),
      _unicast("VELP2PTCPEndPoint", []() -> VELBaseUnknown* { return new FakeEndPoint(true); }) {}

VELResult Deliver(VELP2PNode& node, const char* group, const char* service, const char* sender,
                  const std::vector<char>& payload, bool multicast, const VELP2PEndPointInfo& senderUnicast,
                  const char* source) {
  BlockFields fields;
  fields.group = group;
  fields.service = service;
  fields.sender = sender;
  fields.mode = multicast ? 1 : 0;
  fields.otherAddress = multicast ? senderUnicast.address : 0;
  fields.otherPort = multicast ? senderUnicast.port : 0;
  if (!multicast) {
    fields.senderAddress = senderUnicast.address;
    fields.senderPort = senderUnicast.port;
  }
  std::vector<char> block = BuildBlock(fields, std::string(payload.begin(), payload.end()));
  if (block.empty())
    return VEL_E_FAIL;
  FakeEndPoint* endpoint = new FakeEndPoint(!multicast);
  endpoint->SetReceiver(&node.Receiver());
  VELResult result = endpoint->ReceiveBytes(block, -1, source);
  endpoint->Release();
  return result;
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
