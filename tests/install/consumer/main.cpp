// Uses the installed headers and library without touching the network: the local peer exists before it
// starts, and is not started. It also derives a service and an endpoint of its own and drives the loop from
// outside, so that a link against the exported interface alone proves that interface is enough.
#include <cstdio>
#include <new>

#include "velp2p/VELApplication.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELIP2PPeer.h"
#include "velp2p/VELLastError.h"
#include "velp2p/VELNotification.h"
#include "velp2p/VELP2PBaseEndPoint.h"
#include "velp2p/VELP2PCoreService.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELResult.h"
#include "velp2p/VELVersion.h"

class ConsumerService : public VELP2PCoreService {
  VEL_DECLARE_CLASS(ConsumerService)
 public:
  const char* GetServiceName() override { return "consumer"; }
};
VEL_IMPLEMENT_CLASS(ConsumerService, VELP2PCoreService)
VEL_IMPLEMENT_CREATE_EXT(ConsumerService)

class ConsumerEndPoint : public VELP2PBaseEndPoint {
  VEL_DECLARE_CLASS(ConsumerEndPoint)
 public:
  int IsUnicast() override { return 1; }
  int IsMulticast() override { return 0; }
  VELResult SendBuffer(VELUnicodeString&, const char*, char*, int, VELP2PEndPointInfo*,
                       VELP2PPeerInfo*) override {
    return VEL_S_OK;
  }
};
VEL_IMPLEMENT_CLASS(ConsumerEndPoint, VELBaseUnknown)
VEL_IMPLEMENT_CREATE_EXT(ConsumerEndPoint)

// 0 when an endpoint of the class above can be made by name and given its record.
static int MakeEndPoint() {
  void* object = nullptr;
  if (VEL_FAILED(VELCreateClassInstance("ConsumerEndPoint", nullptr, 0, IID_VELIUnknown, &object)))
    return 1;
  auto* endpoint =
      dynamic_cast<VELP2PEndPoint*>(static_cast<VELBaseUnknown*>(static_cast<VELIUnknown*>(object)));
  int failed = !endpoint || VEL_FAILED(endpoint->Initialize("127.0.0.1", 4000)) ||
               endpoint->GetEndPointInfo()->kind != VELP2P_ENDPOINT_UNICAST;
  static_cast<VELBaseUnknown*>(static_cast<VELIUnknown*>(object))->Release();
  return failed;
}

int main() {
  std::printf("velp2p %s (%d.%d.%d)\n", VELP2P_VERSION_STRING, VELP2P_VERSION_MAJOR, VELP2P_VERSION_MINOR,
              VELP2P_VERSION_PATCH);
  VELApplication application;
  VELIP2PPeer* peer = VELIP2PPeerFactory::GetLocalPeer();
  if (!peer)
    return 1;
  const bool started = VELP2PPeer::IsConnected();
  std::printf("started: %d, failure reads \"%s\"\n", started, VELResultMessage(VEL_E_FAIL));

  VELCallback* statuses = AddCallback(nullptr, peer->GetP2PPublisher(), VELP2PChangeStatusNotif::ClassName(),
                                      [](VELNotification* notification) {
                                        auto* status = dynamic_cast<VELP2PChangeStatusNotif*>(notification);
                                        std::printf("status %d\n", status ? status->getStatus() : -1);
                                      });
  bool posted = false;
  application.Post([&] { posted = true; });
  application.ProcessReady();
  VELP2PClearLastError();
  const bool refused = VEL_FAILED(peer->RegisterService("NoSuchService")) &&
                       VELP2PGetLastErrorCode() == VELP2P_ERROR_BAD_ARGUMENT;
  const bool registered = VEL_SUCCEEDED(peer->RegisterService("ConsumerService"));
  const int endpointFailed = MakeEndPoint();
  std::printf("posted: %d, refused: %d (%s), service: %d, endpoint: %d\n", posted, refused,
              VELP2PGetLastErrorText(), registered, !endpointFailed);
  RemoveCallback(statuses);
  peer->Release();
  return started || !posted || !refused || !registered || endpointFailed ? 1 : 0;
}
