#include "transport/VELP2PMultiCastEndPoint.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "host/VELTraceMacros.h"
#include "host/VELUDPSocket.h"
#include "transport/VELP2PEndPointRecord.h"
#include "transport/VELP2PReceiver.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PHeader.h"
#include "wire/VELP2PBuiltBlock.h"

VEL_IMPLEMENT_CLASS(VELP2PMultiCastEndPoint, VELBaseUnknown)
VEL_IMPLEMENT_CREATE_EXT(VELP2PMultiCastEndPoint)

namespace {

void LoopTrampoline(int descriptor, void* loopArgument, void* data) {
  VELP2PEndPoint::P2PRcvCB(descriptor, loopArgument, static_cast<VELP2PEndPoint*>(data));
}

}  // namespace

VELP2PMultiCastEndPoint::VELP2PMultiCastEndPoint() = default;

VELP2PMultiCastEndPoint::~VELP2PMultiCastEndPoint() {
  VELP2P_TRACE("VELP2PMultiCastEndPoint - Destructor");
  VELApplication* application = Loop();
  if (_gatherTimer != 0 && application)
    application->CancelTimer(_gatherTimer);
  if (_udpSocket) {
    // The registration goes before the socket, so that the descriptor is never watched once closed.
    RemoveP2PCB(_udpSocket->GetHandler());
    _udpSocket.reset();
  }
}

VELResult VELP2PMultiCastEndPoint::Initialize(const char* address, int port) {
  VELP2P_TRACE("VELP2PMultiCastEndPoint - initialize");
  VELResult bound = Initialize();
  if (VEL_FAILED(bound))
    return bound;
  // Checked first so that a second call leaves the record and the settings of the open socket alone.
  if (_udpSocket)
    return VEL_E_FAIL;
  const int usedPort = port != 0 ? port : kDefaultPort;
  const char* usedAddress = address && *address ? address : kDefaultAddress;
  VELP2PEndPointInfo record;
  if (VEL_FAILED(VELP2PMakeReversedRecord(usedAddress, usedPort, VELP2P_ENDPOINT_MULTICAST, record))) {
    return VEL_E_FAIL;
  }
  _address = usedAddress;
  _port = usedPort;
  *_endPointInfo = record;

  _udpSocket.reset(new (std::nothrow) VELUDPSocket());
  if (!_udpSocket)
    return VEL_E_FAIL;
  // A socket that could not join stays until the destructor; it was never registered with the loop.
  if (_udpSocket->Initialize(nullptr, static_cast<unsigned short>(usedPort), usedAddress) != 0)
    return VEL_E_FAIL;
  VELResult installed = InstallP2PCB(_udpSocket->GetHandler());
  return VEL_FAILED(installed) ? installed : VEL_S_OK;
}

int VELP2PMultiCastEndPoint::IsUnicast() {
  VELP2P_TRACE("VELP2PMultiCastEndPoint - isUnicast");
  return 0;
}

int VELP2PMultiCastEndPoint::IsMulticast() {
  VELP2P_TRACE("VELP2PMultiCastEndPoint - isMulticast");
  return -1;
}

VELResult VELP2PMultiCastEndPoint::SendToGroup(VELUnicodeString& group, const char* serviceName, char* data,
                                               int length) {
  VELP2P_TRACE("VELP2PMultiCastEndPoint - SendToGroup");
  if (!_udpSocket)
    return VEL_E_FAIL;
  VELP2PHeader header;
  char* bytes = nullptr;
  int byteLength = 0;
  VELResult taken =
      VELP2PBuiltBlock(BuildBlock(group, serviceName, data, length, 1, header), header, bytes, byteLength);
  if (VEL_FAILED(taken))
    return taken;
  if (byteLength > VELP2P_MULTICAST_MAX_BLOCK) {
    VELP2P_TRACEF("VELP2PMultiCastEndPoint - SendToGroup : block of <%d> bytes exceeds <%d>, not sent\n",
                  byteLength, VELP2P_MULTICAST_MAX_BLOCK);
    return VEL_E_FAIL;
  }
  return _udpSocket->Send(bytes, byteLength) != 0 ? VEL_E_FAIL : VEL_S_OK;
}

VELResult VELP2PMultiCastEndPoint::SendToPeer(VELUnicodeString&, const char*, char*, int, VELP2PEndPointInfo*,
                                              VELP2PPeerInfo*) {
  VELP2P_TRACE("VELP2PMultiCastEndPoint - SendToPeer");
  return VEL_E_FAIL;
}

VELResult VELP2PMultiCastEndPoint::ReceiveData() {
  VELP2P_TRACE("VELP2PMultiCastEndPoint - ReceiveData");
  if (!_udpSocket)
    return VEL_E_FAIL;
  const int count = Drain();
  Paced(count, Clock::now());
  return VEL_S_OK;
}

bool VELP2PMultiCastEndPoint::ReceiveOne() {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[VELP2P_MULTICAST_MAX_BLOCK]());
  if (!buffer) {
    (void)Dropped(VELP2PDrop::NoMemory);
    return false;
  }
  int received = 0;
  uint32_t fromAddress = 0;
  // A datagram longer than the buffer is answered with an error and so discarded here, whole.
  const int error = _udpSocket->Receive(buffer.get(), VELP2P_MULTICAST_MAX_BLOCK, &received, &fromAddress);
  if (error == EAGAIN || error == EWOULDBLOCK)
    return false;
  if (error != 0) {
    (void)Dropped(VELP2PDrop::ReadFailed);
    return error == EMSGSIZE;
  }
  VELP2PEndPointInfo from{};
  from.address = fromAddress;
  // The header is checked against the bytes that arrived, never against the buffer's size.
  (void)Receive(buffer.get(), received, fromAddress != 0 ? &from : nullptr);
  return true;
}

int VELP2PMultiCastEndPoint::Drain() {
  int count = 0;
  const uint64_t routine = _receiver ? _receiver->RoutineCount() : 0;
  // A handler may close the socket's endpoint (a disconnect releases it; the caller holds it meanwhile).
  while (count < kDrainMax && _udpSocket && ReceiveOne())
    ++count;
  _news = _receiver && _receiver->RoutineCount() - routine < static_cast<uint64_t>(count);
  return count;
}

void VELP2PMultiCastEndPoint::Paced(int count, Clock::time_point now) {
  VELApplication* application = Loop();
  const auto sinceLastUs = std::chrono::duration_cast<std::chrono::microseconds>(now - _lastDrain).count();
  _lastDrain = now;
  // The pause that lets about half of kDrainMax gather at the rate seen since the previous drain.
  // News shortens the pause; every drain of nothing but presence doubles it, up to kGatherMs.
  _gatherMs = _news ? kNewsGatherMs : std::min(kGatherMs, _gatherMs * 2);
  const long long pauseMs =
      count <= 0 ? 0 : std::min<long long>(_gatherMs, sinceLastUs * (kDrainMax / 2) / count / 1000);
  // Busy: the wake-ups of the last second reached kBusyWakes.
  if (now - _windowStart >= std::chrono::seconds(1)) {
    _windowStart = now;
    _wakes = 0;
  }
  const bool trickle = _paused || (++_wakes >= kBusyWakes && sinceLastUs < kGatherMs * 1000LL);
  if (trickle && count > 0 && count < kDrainMax && pauseMs >= 1 && application && _command && _udpSocket) {
    if (!_paused)
      (void)application->RemoveFileDescriptor(_descriptor, _command);
    _paused = true;
    _gatherTimer = application->AddTimer(static_cast<int>(pauseMs), [this]() { Gather(); });
  } else if (_paused) {
    _paused = false;
    if (application && _command)
      (void)application->AddFileDescriptor(_descriptor, _command, this, &LoopTrampoline);
  }
}

void VELP2PMultiCastEndPoint::Gather() {
  _gatherTimer = 0;
  // A handler may disconnect the peer, which releases this endpoint.
  AddRef();
  const int count = Drain();
  Paced(count, Clock::now());
  Release();
}

VELResult VELP2PMultiCastEndPoint::SendData(VELUnicodeString&, const char*, char*, int, VELP2PEndPointInfo*,
                                            VELP2PPeerInfo*) {
  return VEL_S_OK;
}

VELResult VELP2PMultiCastEndPoint::BuildMessage(VELUnicodeString&, const char*, char*, int, VELP2PHeader&) {
  return VEL_S_OK;
}
