#include "transport/VELP2PTCPEndPoint.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "host/VELLastError.h"
#include "host/VELNetResolve.h"
#include "host/VELSockets.h"
#include "host/VELTraceMacros.h"
#include "transport/VELP2PEndPointRecord.h"
#include "transport/VELP2PReceiver.h"
#include "transport/VELP2PSending.h"
#include "transport/VELSocketConnector.h"
#include "transport/VELTCPSender.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PHeader.h"
#include "wire/VELP2PBlock.h"
#include "wire/VELP2PBlockLayout.h"
#include "wire/VELP2PBuiltBlock.h"

VEL_IMPLEMENT_CLASS(VELP2PTCPEndPoint, VELBaseUnknown)
VEL_IMPLEMENT_CREATE_EXT(VELP2PTCPEndPoint)

VELP2PTCPEndPoint::VELP2PTCPEndPoint() = default;

VELP2PTCPEndPoint::~VELP2PTCPEndPoint() {
  VELP2P_TRACE("VELP2PTCPEndPoint - Destructor");
  if (_reportTimer != 0) {
    if (VELApplication* application = Loop())
      application->CancelTimer(_reportTimer);
  }
  // What is still queued goes on being delivered by the loop.
  if (_sending)
    _sending->Release(std::move(_sender));
  if (_connector) {
    RemoveP2PCB(_connector->GetHandler());
    _connector.reset();
  }
}

VELResult VELP2PTCPEndPoint::Initialize(const char* address, int port) {
  VELP2P_TRACE("VELP2PTCPEndPoint - initialize");
  VELResult bound = Initialize();
  if (VEL_FAILED(bound))
    return bound;
  // Sends are queued for the loop: an endpoint that no node registered has none.
  VELApplication* application = Loop();
  if (_connector || !application || !_receiver)
    return VEL_E_FAIL;
  std::string localAddress;
  if (!address || !*address) {
    VELResult found = VELLocalIPv4(localAddress);
    if (VEL_FAILED(found))
      return found;
    address = localAddress.c_str();
  }
  // Checked before anything is opened: the record must be able to carry both.
  VELP2PEndPointInfo record;
  if (VEL_FAILED(VELP2PMakeUnicastRecord(address, port, record)))
    return VEL_E_FAIL;
  _address = address;
  _port = port;

  _connector.reset(new (std::nothrow) VELSocketConnector(static_cast<unsigned short>(_port), 5, 2));
  if (!_connector)
    return VEL_E_FAIL;
  int declared = _connector->Declare(nullptr, application);
  if (_port == 0)
    _port = _connector->GetPort();
  // The record is filled even when listening failed, as the port that was asked for.
  _streams = _receiver->Persistent();
  (void)VELP2PMakeUnicastRecord(address, _port, *_endPointInfo);
  if (_streams)
    _endPointInfo->kind |= VELP2P_ENDPOINT_STREAMS;
  if (declared != 0)
    return VEL_E_FAIL;
  _connector->SetStreams(_streams);
  _connector->SetReadyCallback([this]() { TakeReady(); });
  VELResult installed = InstallP2PCB(_connector->GetHandler());
  if (VEL_FAILED(installed))
    return installed;
  _sending = _receiver->Sending();
  _sender.reset(new (std::nothrow) VELTCPSender(application));
  if (!_sender || !_sending)
    return VEL_E_FAIL;
  _sending->Track(_sender.get());
  _sender->SetDeliveredCallback([this](void* tag) {
    _outgoing.erase(reinterpret_cast<uintptr_t>(tag));
    if (_receiver)
      _receiver->Delivered();
  });
  _sender->SetFailureCallback(
      [this, application](uint32_t address, unsigned short port, VELTCPSender::Failure reason, void* tag) {
        auto found = _outgoing.find(reinterpret_cast<uintptr_t>(tag));
        if (found == _outgoing.end())
          return;
        uint8_t bytes[4];
        std::memcpy(bytes, &address, 4);
        std::string where = std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
                            std::to_string(bytes[2]) + "." + std::to_string(bytes[3]) + ":" +
                            std::to_string(port);
        _failed.push_back(Failed{std::move(found->second), where, VELTCPSender::FailureText(reason)});
        _outgoing.erase(found);
        if (_reportTimer == 0)
          _reportTimer = application->AddTimer(0, [this]() { ReportFailures(); });
      });
  return VEL_S_OK;
}

int VELP2PTCPEndPoint::IsUnicast() {
  VELP2P_TRACE("VELP2PTCPEndPoint - isUnicast");
  return -1;
}

int VELP2PTCPEndPoint::IsMulticast() {
  VELP2P_TRACE("VELP2PTCPEndPoint - isMulticast");
  return 0;
}

VELResult VELP2PTCPEndPoint::SendToGroup(VELUnicodeString&, const char*, char*, int) {
  VELP2P_TRACE("VELP2PTCPEndPoint - SendToGroup");
  return VEL_E_FAIL;
}

VELResult VELP2PTCPEndPoint::SendToPeer(VELUnicodeString& group, const char* serviceName, char* data,
                                        int length, VELP2PEndPointInfo* endPointInfo,
                                        VELP2PPeerInfo* peerInfo) {
  VELP2P_TRACE("VELP2PTCPEndPoint - SendToPeer");
  if (!endPointInfo)
    return VEL_E_FAIL;
  // The block is built before connecting, so that a message that cannot be built or is too long for any
  // receiver never opens a connection to the peer. It is built where a large block is kept for the next one
  // rather than in the heap, whose pages would be given back and faulted in again for every block.
  VELP2PSenderIdentity identity;
  if (!_receiver || VEL_FAILED(_receiver->GetSenderIdentity(0, identity)))
    return VEL_E_FAIL;
  const VELP2PBlockFields fields{serviceName,
                                 identity.name.c_str(),
                                 _endPointInfo->address,
                                 _endPointInfo->port,
                                 identity.otherAddress,
                                 identity.otherPort,
                                 0};
  const int byteLength = VELP2PBlockSize(group, fields, data, length);
  if (byteLength < 0 || byteLength > VELSockets::kMaxBlockBytes)
    return VEL_E_FAIL;
  VELBlockBytes block = VELNewBlockBytes(static_cast<size_t>(byteLength));
  if (!block)
    return VEL_E_FAIL;
  VELP2PWriteBlock(block.get(), group, fields, data, length);

  if (!_sender)
    return VELFail(VELP2P_ERROR_NETWORK, "the endpoint is not open");
  return Queue(endPointInfo->address, VELP2PRecordPort(*endPointInfo), std::move(block), byteLength,
               serviceName, peerInfo, _streams && (endPointInfo->kind & VELP2P_ENDPOINT_STREAMS) != 0);
}

VELResult VELP2PTCPEndPoint::Queue(uint32_t address, unsigned short port, VELBlockBytes bytes, int byteLength,
                                   const char* serviceName, VELP2PPeerInfo* peerInfo, bool stream) {
  uintptr_t tag = _nextTag++;
  int queued = _sender->Enqueue(address, port, std::move(bytes), static_cast<size_t>(byteLength),
                                reinterpret_cast<void*>(tag), _sending->CurrentLane(), stream);
  switch (queued) {
    case 0:
      _outgoing[tag] = Outgoing{peerInfo && _receiver ? _receiver->NameOf(peerInfo) : std::string(),
                                serviceName ? serviceName : ""};
      return VEL_S_OK;
    case EHOSTDOWN:
      return VELFail(VELP2P_ERROR_NETWORK, "the destination did not answer lately");
    case ENOBUFS:
      return VELFail(VELP2P_ERROR_QUEUE_FULL);
    case EMSGSIZE:
      return VELFail(VELP2P_ERROR_TOO_LONG);
    default:
      return VELFail(VELP2P_ERROR_NETWORK);
  }
}

void VELP2PTCPEndPoint::ReportFailures() {
  _reportTimer = 0;
  std::vector<Failed> failed;
  failed.swap(_failed);
  // A subscriber may disconnect the peer, which releases this endpoint.
  AddRef();
  for (const Failed& failure : failed) {
    if (_receiver)
      _receiver->SendFailed(failure.what.peerName, failure.address, failure.what.service, failure.reason);
  }
  Release();
}

VELResult VELP2PTCPEndPoint::ReceiveData() {
  VELP2P_TRACE("VELP2PTCPEndPoint - ReceiveData");
  if (!_connector)
    return VEL_E_FAIL;
  // The connector queues every block that completed in a turn, and all are dispatched now. The loop's
  // callback holds the endpoint meanwhile, in case a handler disconnects the peer.
  VELResult result = VEL_S_OK;
  int taken = 0;
  do {
    result = ReceiveOne();
  } while (_connector->GetBlocksReady() > 0 && ++taken < VELSocketConnector::kMaxReady);
  return result;
}

void VELP2PTCPEndPoint::TakeReady() {
  // A handler may disconnect the peer, which releases this endpoint: it lives until the blocks are taken.
  AddRef();
  while (_connector && _connector->GetBlocksReady() > 0)
    (void)ReceiveOne();
  Release();
}

VELResult VELP2PTCPEndPoint::ReceiveOne() {
  if (!_connector)
    return VEL_E_FAIL;
  VELP2PBlock block;
  uint32_t source = 0;
  if (_connector->TakeBlock(&block.bytes, &block.size, &source) != 0)
    return VEL_E_FAIL;
  // Where the block came from decides, as for a datagram, whether the loopback records it names are usable.
  VELP2PEndPointInfo from{};
  from.address = source;
  return ReceiveOwned(std::move(block), from.address != 0 ? &from : nullptr);
}

VELResult VELP2PTCPEndPoint::SendData(VELUnicodeString&, const char*, char*, int, VELP2PEndPointInfo*,
                                      VELP2PPeerInfo*) {
  return VEL_S_OK;
}

VELResult VELP2PTCPEndPoint::BuildMessage(VELUnicodeString&, const char*, char*, int, VELP2PHeader&) {
  return VEL_S_OK;
}
