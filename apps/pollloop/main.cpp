// velp2p-pollloop: velp2p driven from an application's own poll() loop instead of VELApplication::Run().
// It starts the local peer in collaboration mode, waits for its own birth announcement to come back, has a
// worker thread hand a status change to the loop thread with Post(), waits for that status to come back
// too, and leaves. Exit status 0 when all of that worked within the deadline.
//
// Like velp2p-example, it takes its name from VELP2PLogin ("pollloop" when not set) and its endpoint
// configuration from VELP2PConfig.
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "velp2p/VELApplication.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELIP2PPeer.h"
#include "velp2p/VELNotification.h"
#include "velp2p/VELP2PNotifications.h"

namespace {

const auto kDeadline = std::chrono::seconds(5);

}  // namespace

int main() {
  setenv("VELP2PLogin", "pollloop", 0);
  VELSetDiagnosticStream(stderr);
  VELApplication application;
  VELIP2PPeer* peer = VELIP2PPeerFactory::GetLocalPeer();
  if (!peer)
    return 1;

  std::string self;
  bool bornAgain = false;
  bool statusSeen = false;
  VELBaseUnknown* publisher = peer->GetP2PPublisher();
  VELCallback* births = AddCallback(nullptr, publisher, "VELP2PPeerBirthNotif", [&](VELNotification* n) {
    if (static_cast<VELP2PPeerBirthNotif*>(n)->getPeerName()->Str() == self)
      bornAgain = true;
  });
  VELCallback* statuses = AddCallback(nullptr, publisher, "VELP2PChangeStatusNotif", [&](VELNotification* n) {
    auto* change = static_cast<VELP2PChangeStatusNotif*>(n);
    if (change->getPeerName()->Str() == self && change->getStatus() == 3)
      statusSeen = true;
  });
  if (VEL_FAILED(peer->InitP2PForRTC())) {
    std::fprintf(stderr, "velp2p-pollloop: the peer could not start\n");
    return 1;
  }
  self = peer->GetPeerName()->Str();
  std::printf("started as %s\n", self.c_str());

  // Another thread never calls the peer: it posts the call to the loop thread.
  std::thread worker([&] {
    application.Post([&] {
      std::printf("posted call runs on the loop thread\n");
      peer->ChangeP2PStatus(3, "posted from a worker");
    });
  });

  // The application's own loop: velp2p's descriptor among its own (here only that one), and a wait that
  // ends in time for velp2p's next timer.
  auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!(bornAgain && statusSeen) && std::chrono::steady_clock::now() < deadline) {
    pollfd descriptors[1] = {{application.GetDescriptor(), POLLIN, 0}};
    int timeout = application.GetTimeoutMs();
    if (timeout < 0 || timeout > 100)
      timeout = 100;  // this loop's own deadline check
    if (poll(descriptors, 1, timeout) < 0)
      break;
    application.ProcessReady();
  }
  worker.join();
  std::printf("own birth heard: %s\nposted status heard: %s\n", bornAgain ? "yes" : "no",
              statusSeen ? "yes" : "no");

  VELResult left = peer->Disconnect();
  RemoveCallback(births);
  RemoveCallback(statuses);
  peer->Release();
  return bornAgain && statusSeen && VEL_SUCCEEDED(left) ? 0 : 1;
}
