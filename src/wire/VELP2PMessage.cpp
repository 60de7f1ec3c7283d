#include "wire/VELP2PMessage.h"

#include "velp2p/VELIBBStreamer.h"

#include <cstring>
#include <new>

#include "host/VELTraceMacros.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PHeader.h"

const VELIID IID_VELIP2PMessage = {
    0x5f3a9c21, 0x7d04, 0x4b6e, {0x9a, 0x12, 0x3c, 0x55, 0xe8, 0x0d, 0x41, 0x7b}};

VEL_IMPLEMENT_CLASS(VELP2PMessage, VELBBMessage)
VEL_IMPLEMENT_CREATE_EXT(VELP2PMessage)

VELP2PMessage::VELP2PMessage() : _header(nullptr) {
  VELP2P_TRACE("VELP2PMessage - Constructor");
}

VELP2PMessage::VELP2PMessage(VELP2PHeader& header) : _header(&header) {}

VELIBBStreamer* VELP2PMessage::NewStreamer() {
  auto* message = new (std::nothrow) VELP2PMessage();
  if (!message)
    return nullptr;
  void* object = nullptr;
  VELIBBStreamer* streamer = nullptr;
  if (VEL_SUCCEEDED(message->QueryInterface(IID_VELIBBStreamer, &object)))
    streamer = static_cast<VELIBBStreamer*>(object);
  message->Release();
  return streamer;
}

VELP2PMessage::VELP2PMessage(const VELP2PMessage& other)
    : VELBBMessage(other), VELIP2PMessage(), _header(other._header) {}

VELP2PMessage& VELP2PMessage::operator=(const VELP2PMessage& other) {
  VELBBMessage::operator=(other);
  _header = other._header;
  return *this;
}

VELP2PMessage::~VELP2PMessage() {
  VELP2P_TRACE("VELP2PMessage - Destructor");
  _header = nullptr;
}

VELResult VELP2PMessage::QueryInterface(const VELIID& iid, void** object) {
  if (!object)
    return VEL_E_FAIL;
  if (iid == IID_VELIP2PMessage) {
    *object = static_cast<VELIP2PMessage*>(this);
    AddRef();
    return VEL_S_OK;
  }
  return VELBBMessage::QueryInterface(iid, object);
}

VELP2PHeader* VELP2PMessage::ReadableHeader() const {
  return _header && _header->GetFixedPart() ? _header : nullptr;
}

VELResult VELP2PMessage::GetMessageGroup(VELUnicodeString& group) {
  VELP2PHeader* header = ReadableHeader();
  if (!header)
    return VEL_E_FAIL;
  group = header->GetMessageGroup();
  return VEL_S_OK;
}

VELResult VELP2PMessage::GetSendingPeerName(VELUnicodeString& name) {
  VELP2PHeader* header = ReadableHeader();
  if (!header)
    return VEL_E_FAIL;
  name = header->GetSendingPeerName();
  return VEL_S_OK;
}

VELResult VELP2PMessage::GetBufferLenght(int& length) {
  VELP2PHeader* header = ReadableHeader();
  if (!header)
    return VEL_E_FAIL;
  if (header->GetPayloadLength() < 0) {
    length = 0;
    return VEL_E_FAIL;
  }
  length = header->GetPayloadLength();
  return VEL_S_OK;
}

VELResult VELP2PMessage::GetBuffer(char* destination) {
  VELP2PHeader* header = ReadableHeader();
  if (!header || !destination || header->GetPayloadLength() < 1 || !header->GetPayload())
    return VEL_E_FAIL;
  std::memcpy(destination, header->GetPayload(), header->GetPayloadLength());
  return VEL_S_OK;
}

VELResult VELP2PMessage::GetBuffer(char* destination, int capacity) {
  VELP2PHeader* header = ReadableHeader();
  if (!header || capacity < header->GetPayloadLength())
    return VEL_E_FAIL;
  return GetBuffer(destination);
}

int VELP2PMessage::IsMulticast() {
  VELP2PHeader* header = ReadableHeader();
  return header && (header->GetMode() & VELP2P_MESSAGE_MULTICAST) ? 1 : 0;
}

int VELP2PMessage::IsUnicast() {
  VELP2PHeader* header = ReadableHeader();
  return header && (header->GetMode() & VELP2P_MESSAGE_UNICAST) ? 1 : 0;
}

VELResult VELP2PMessage::GetSendingPeerEPInfo(VELP2PEndPointInfo& info, int kindMask) {
  VELP2PHeader* header = ReadableHeader();
  if (!header)
    return VEL_E_FAIL;
  const VELP2PHeaderFixedPart* fixedPart = header->GetFixedPart();
  if (fixedPart->mode & kindMask) {
    info.port = fixedPart->senderPort;
    info.address = fixedPart->senderAddress;
  } else {
    info.port = fixedPart->otherPort;
    info.address = fixedPart->otherAddress;
  }
  return VEL_S_OK;
}

VELResult VELP2PMessage::GetVersion(int& version) {
  VELP2PHeader* header = ReadableHeader();
  if (!header)
    return VEL_E_FAIL;
  version = header->GetVersion();
  return VEL_S_OK;
}
