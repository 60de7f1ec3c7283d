// The endpoint receive path through a node's seam into its started peer. The first byte chooses the peer's
// mode (bit 0: collaboration or standard) and the endpoint (bit 1: the TCP one or the multicast one); the
// rest is the block as a read brought it. The endpoints are socket-free stand-ins registered under the
// library's class names, and the host name resolves to loopback, so starting the peer touches no network.
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <memory>

#include "core/VELP2PNode.h"
#include "host/VELNetResolve.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PBaseEndPoint.h"
#include "velp2p/VELP2PPeer.h"

namespace {

class SilentEndPoint : public VELP2PBaseEndPoint {
 public:
  explicit SilentEndPoint(bool unicast) : _unicast(unicast) {}
  int IsUnicast() override { return _unicast ? -1 : 0; }
  int IsMulticast() override { return _unicast ? 0 : -1; }
  VELResult SendBuffer(VELUnicodeString&, const char*, char*, int, VELP2PEndPointInfo*,
                       VELP2PPeerInfo*) override {
    return VEL_S_OK;
  }

 private:
  bool _unicast;
};

int g_mode = -1;  // the mode the peer was started in, -1 when none
VELApplication* g_loop = nullptr;
std::unique_ptr<VELP2PNode> g_node;

VELP2PPeer* StartedPeer(int mode) {
  if (mode != g_mode) {
    g_node = std::make_unique<VELP2PNode>(g_loop);
    VELP2PPeer& peer = g_node->Peer();
    if (VEL_FAILED(mode == 1 ? peer.InitP2PForRTC() : peer.InitP2P()))
      std::abort();
    g_mode = mode;
  }
  return &g_node->Peer();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  unsetenv("VELP2PConfig");
  unsetenv("VELP2PHTTPEndPoint");
  g_loop = new VELApplication();
  VELSetResolverOverride([](const std::string&, std::vector<VELIPv4>& addresses) {
    addresses.push_back(VELIPv4{127, 0, 0, 1});
    return VEL_S_OK;
  });
  VELRegisterCreateExtension("VELP2PMultiCastEndPoint",
                             []() -> VELBaseUnknown* { return new (std::nothrow) SilentEndPoint(false); });
  VELRegisterCreateExtension("VELP2PTCPEndPoint",
                             []() -> VELBaseUnknown* { return new (std::nothrow) SilentEndPoint(true); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  VELP2PPeer* peer = StartedPeer(data[0] & 1);
  VELListPtrVELP2PEndPoint* endpoints =
      (data[0] & 2) ? peer->GetUnicastEndPoints() : peer->GetMulticastEndPoints();
  if (!endpoints || endpoints->Size() < 1)
    std::abort();
  VELP2PEndPoint* endpoint = (*endpoints)[1];
  // A handler may disconnect the peer, which releases its endpoints: the call holds its own reference.
  endpoint->AddRef();
  std::vector<char> block(data + 1, data + size);
  (void)endpoint->Receive(block.data(), static_cast<int>(block.size()), nullptr);
  endpoint->Release();
  if (!peer->Connected())
    g_mode = -1;
  return 0;
}
