// The endpoint base: the event-loop hook, the receive path and the splitting send path.
//
// Design note on lifetime. The loop calls P2PRcvCB with the endpoint as its data, and the endpoint's
// ReceiveData runs the whole receive path down to a service's handler. That handler may disconnect the local
// peer, whose tear-down releases every endpoint, this one included, while it is still inside ReceiveData.
// P2PRcvCB therefore holds a reference of its own for the call: the peer's release only drops the count, and
// the endpoint is destroyed when P2PRcvCB lets go, after ReceiveData has returned. The destructor ends the
// loop registration; the registration's owner command may still be in use by the turn that is serving this
// very descriptor, so it is handed to the cleaner, which deletes it when the turn is over.
#include "velp2p/VELP2PEndPoint.h"

#include <new>

#include "host/VELCleaner.h"
#include "host/VELCommandSelector.h"
#include "host/VELLocalAddress.h"
#include "host/VELLoopLink.h"
#include "host/VELTime.h"
#include "host/VELTraceMacros.h"
#include "transport/VELP2PReceiver.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELP2PHeader.h"
#include "wire/VELP2PBlock.h"
#include "wire/VELP2PBuiltBlock.h"
#include "wire/VELP2PFragmenter.h"
#include "wire/VELP2PReassembler.h"

VEL_IMPLEMENT_CLASS(VELP2PEndPoint, VELBaseUnknown)

namespace {

const int kFragmentSize = 500;
const int kSplitThreshold = 1000;
const int kGroupBits = VELP2P_MESSAGE_GROUP_BEGIN | VELP2P_MESSAGE_GROUP_MIDDLE | VELP2P_MESSAGE_GROUP_END;

// The loop hands its data back as void*; the endpoint's callback takes the endpoint itself.
void LoopTrampoline(int descriptor, void* loopArgument, void* data) {
  VELP2PEndPoint::P2PRcvCB(descriptor, loopArgument, static_cast<VELP2PEndPoint*>(data));
}

// Builds one block for a payload and takes its bytes, which stay the header's.
VELResult BuildBytes(VELP2PEndPoint& endPoint, VELUnicodeString& group, const char* serviceName, char* data,
                     int length, VELP2PHeader& header, char*& bytes, int& byteLength) {
  const VELResult built =
      VEL_FAILED(endPoint.BuildMessage(group, serviceName, data, length, header)) ? VEL_E_FAIL : VEL_S_OK;
  return VELP2PBuiltBlock(built, header, bytes, byteLength);
}

}  // namespace

VELP2PEndPoint::VELP2PEndPoint()
    : _receiver(nullptr),
      _endPointInfo(new VELP2PEndPointInfo()),
      _port(0),
      _fragmentSize(kFragmentSize),
      _splitThreshold(kSplitThreshold),
      _command(nullptr),
      _descriptor(-1) {
  VELP2P_TRACE("VELP2PEndPoint - Constructor");
}

VELP2PEndPoint::~VELP2PEndPoint() {
  VELP2P_TRACE("VELP2PEndPoint - Destructor");
  // The endpoint classes end their registration before closing their socket; this only covers a class
  // that did not, so that the loop never calls back into a destroyed endpoint.
  if (_command)
    RemoveP2PCB(_descriptor);
  _splittedMessages.reset();
  _endPointInfo.reset();
}

VELResult VELP2PEndPoint::Initialize() {
  return VEL_S_OK;
}

void VELP2PEndPoint::SetReceiver(VELP2PReceiver* receiver) {
  _receiver = receiver;
  // The loop stays known once the receiver goes: the registration made with it must still be ended.
  if (receiver)
    _loop = std::make_unique<VELLoopLink>(receiver->Loop());
}

VELApplication* VELP2PEndPoint::Loop() const {
  return _loop ? _loop->Get() : nullptr;
}

VELResult VELP2PEndPoint::InstallP2PCB(int descriptor) {
  VELP2P_TRACE("VELP2PEndPoint - InstallSocketCB");
  VELApplication* application = Loop();
  if (!application)
    return VEL_E_FAIL;
  // One registration per endpoint: a second one would lose the owner command of the first.
  if (_command)
    return VEL_E_FAIL;
  _command = new (std::nothrow) VELCommand(VELCommandSelector::GetCommandSelectorInstance(), "P2PSender");
  if (!_command)
    return VEL_E_FAIL;
  _descriptor = descriptor;
  (void)application->AddFileDescriptor(descriptor, _command, this, &LoopTrampoline);
  return VEL_S_OK;
}

VELResult VELP2PEndPoint::RemoveP2PCB(int descriptor) {
  VELP2P_TRACE("VELP2PEndPoint - RemoveSocketCB");
  if (!_command)
    return VEL_S_OK;
  VELApplication* application = Loop();
  if (application)
    (void)application->RemoveFileDescriptor(descriptor, _command);
  // Without a loop left the cleaner deletes the command at once; it is never leaked.
  VELCleaner::DeleteOnTransactionEnd(application, _command);
  _command = nullptr;
  _descriptor = -1;
  return VEL_S_OK;
}

void VELP2PEndPoint::P2PRcvCB(int /*descriptor*/, void* /*loopArgument*/, VELP2PEndPoint* endPoint) {
  VELP2P_TRACE("-------P2PRcvCB----------");
  if (!endPoint)
    return;
  endPoint->AddRef();
  (void)endPoint->ReceiveData();
  endPoint->Release();
}

VELResult VELP2PEndPoint::Dropped(VELP2PDrop reason) {
  _drops.Add(reason);
  return VEL_E_FAIL;
}

VELResult VELP2PEndPoint::Receive(const char* bytes, int size, const VELP2PEndPointInfo* from) {
  if (!bytes || size < VELP2P_HEADER_FIXED_SIZE)
    return Dropped(VELP2PDrop::Malformed);
  VELP2PBlock block = VELP2PBlock::Copy(bytes, size);
  if (!block)
    return Dropped(VELP2PDrop::NoMemory);
  return ReceiveOwned(std::move(block), from);
}

VELResult VELP2PEndPoint::ReceiveOwned(std::unique_ptr<char[]> bytes, int size,
                                       const VELP2PEndPointInfo* from) {
  return ReceiveOwned(VELP2PBlock(std::move(bytes), size), from);
}

VELResult VELP2PEndPoint::ReceiveOwned(VELP2PBlock&& received, const VELP2PEndPointInfo* from) {
  // Only the fixed part's version and mode are read before the header parse checks the rest, and both lie
  // inside it.
  if (!received.bytes || received.size < VELP2P_HEADER_FIXED_SIZE)
    return Dropped(VELP2PDrop::Malformed);
  const auto* fixedPart = reinterpret_cast<const VELP2PHeaderFixedPart*>(received.bytes.get());
  if (fixedPart->version == 0)
    return VEL_S_OK;
  VELP2PBlock block = std::move(received);
  if ((fixedPart->mode & VELP2P_MESSAGE_SINGLE) == 0) {
    if ((fixedPart->mode & kGroupBits) == 0)
      return Dropped(VELP2PDrop::BadMode);
    if (!_splittedMessages) {
      _splittedMessages.reset(new (std::nothrow) VELP2PReassembler());
      if (!_splittedMessages)
        return Dropped(VELP2PDrop::NoMemory);
    }
    VELP2PReassembler::Outcome outcome = _splittedMessages->Take(block);
    if (outcome.dropped)
      return Dropped(outcome.reason);
    if (!outcome.completed)
      return VEL_S_OK;
    block = std::move(outcome.completed);
  }

  VELP2PHeader header;
  if (VEL_FAILED(header.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(block.bytes.get()), block.size)))
    return Dropped(VELP2PDrop::Malformed);
  if (!_receiver)
    return Dropped(VELP2PDrop::NoReceiver);
  VELP2PSource source;
  if (from) {
    source.origin = VELIsLocalIPv4(from->address) ? VELP2POrigin::kThisHost : VELP2POrigin::kElsewhere;
    source.address = from->address;
  }
  return VEL_FAILED(_receiver->Receive(header, IsUnicast() != 0, source)) ? VEL_E_FAIL : VEL_S_OK;
}

VELResult VELP2PEndPoint::BuildBlock(VELUnicodeString& group, const char* serviceName, const char* data,
                                     int length, int mode, VELP2PHeader& header) {
  VELP2PSenderIdentity identity;
  if (!_receiver || VEL_FAILED(_receiver->GetSenderIdentity(mode, identity)))
    return VEL_E_FAIL;
  const VELP2PEndPointInfo& record = *_endPointInfo;
  return header.Build(group, serviceName, identity.name.c_str(), record.address, record.port,
                      identity.otherAddress, identity.otherPort, data, length, mode);
}

VELResult VELP2PEndPoint::SplitAndSend(VELUnicodeString& group, const char* serviceName, char* data,
                                       int length, VELP2PEndPointInfo* endPointInfo,
                                       VELP2PPeerInfo* peerInfo) {
  if (length <= _splitThreshold) {
    VELP2PHeader header;
    char* bytes = nullptr;
    int byteLength = 0;
    VELResult result = BuildBytes(*this, group, serviceName, data, length, header, bytes, byteLength);
    if (VEL_FAILED(result))
      return result;
    return SendData(group, serviceName, bytes, byteLength, endPointInfo, peerInfo);
  }
  if (!data)
    return VEL_E_FAIL;
  // Every receiver drops a group announcing more than its reassembly limit; sending one would only waste
  // the network.
  if (length > VELP2PReassembler::DefaultLimits().maxTotal)
    return VEL_E_FAIL;

  const uint32_t second = static_cast<uint32_t>(VELTime::Gettime_t());
  const uint32_t grpId = _receiver ? _receiver->NextFragmentGroup(second) : second;

  for (const VELP2PFragmentPiece& piece : VELP2PPlanFragments(length, _fragmentSize)) {
    VELP2PHeader header;
    char* bytes = nullptr;
    int byteLength = 0;
    VELResult result =
        BuildBytes(*this, group, serviceName, data + piece.offset, piece.length, header, bytes, byteLength);
    if (VEL_FAILED(result))
      return result;
    if (VEL_FAILED(VELP2PMarkFragment(bytes, byteLength, piece.kind, grpId, static_cast<uint32_t>(length)))) {
      return VEL_E_FAIL;
    }
    if (VEL_FAILED(SendData(group, serviceName, bytes, byteLength, endPointInfo, peerInfo)))
      return VEL_E_FAIL;
  }
  return VEL_S_OK;
}
