// velp2p-example: the smallest complete velp2p application. It starts the local peer in collaboration
// mode, waits on the event loop for its own birth announcement to come back, publishes a status, lists the
// peers it knows and leaves the network. Exit status 0 when all of that worked.
//
// Its name on the network is the value of VELP2PLogin followed by _KVZ ("example_KVZ" when the variable is
// not set); VELP2PConfig, when set, names the endpoint configuration file.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "velp2p/VELApplication.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELIP2PPeer.h"
#include "velp2p/VELNotification.h"
#include "velp2p/VELP2PNotifications.h"

namespace {

const int kDeadlineMs = 5000;

int Fail(VELIP2PPeer* peer, const char* what) {
  std::fprintf(stderr, "velp2p-example: %s\n", what);
  if (peer)
    peer->Release();
  return 1;
}

}  // namespace

int main() {
  setenv("VELP2PLogin", "example", 0);  // keeps a value given by the caller
  // The library's few diagnostic lines go to stderr, so that stdout holds only what this program prints.
  VELSetDiagnosticStream(stderr);

  // 1. The event loop comes first: the peer's endpoints register their sockets with the main application.
  VELApplication application;

  // 2. The local peer, with one reference that this program releases at the end.
  VELIP2PPeer* peer = VELIP2PPeerFactory::GetLocalPeer();
  if (!peer)
    return Fail(nullptr, "no local peer");

  // 3. Subscriptions come before the start-up, which already notifies. What a notification points to is
  //    valid only during the call, so the callbacks copy what they keep.
  VELBaseUnknown* publisher = peer->GetP2PPublisher();
  std::string self;  // the peer's name, known once started
  bool bornAgain = false;
  bool statusSeen = false;
  VELCallback* births =
      AddCallback(nullptr, publisher, "VELP2PPeerBirthNotif", [&](VELNotification* notification) {
        const VELUnicodeString* name = static_cast<VELP2PPeerBirthNotif*>(notification)->getPeerName();
        std::printf("online: %s\n", name->CastToCharPtr());
        if (name->Str() == self)
          bornAgain = true;
      });
  VELCallback* statuses =
      AddCallback(nullptr, publisher, "VELP2PChangeStatusNotif", [&](VELNotification* notification) {
        auto* change = static_cast<VELP2PChangeStatusNotif*>(notification);
        VELUnicodeString description;
        change->getDescription(description);
        std::printf("status of %s: %d \"%s\"\n", change->getPeerName()->CastToCharPtr(), change->getStatus(),
                    description.CastToCharPtr());
        if (change->getPeerName()->Str() == self && change->getStatus() == 3)
          statusSeen = true;
      });

  // 4. Start in collaboration mode (InitP2P would start the standard mode: groups and search).
  if (VEL_FAILED(peer->InitP2PForRTC()))
    return Fail(peer, "the peer could not start");
  self = peer->GetPeerName()->Str();
  std::printf("started as %s\n", self.c_str());

  // 5. Run the loop until the peer has heard its own birth announcement: from then on it is in its own
  //    directory and the network works both ways. Never wait without a deadline.
  if (!application.RunUntil([&] { return bornAgain; }, kDeadlineMs))
    return Fail(peer, "no birth announcement");

  // 6. Send something: a status goes to every peer by multicast, this one included, and the local status
  //    changes when it comes back.
  if (VEL_FAILED(peer->ChangeP2PStatus(3, "writing the documentation")))
    return Fail(peer, "status refused");
  if (!application.RunUntil([&] { return statusSeen; }, kDeadlineMs))
    return Fail(peer, "status not heard back");

  // 7. Query the directory.
  VELListValVELUnicodeString names;
  peer->GetConnectedPeers(names);
  std::printf("%d peer(s) online:", names.Size());
  for (const VELUnicodeString& name : names)
    std::printf(" %s", name.CastToCharPtr());
  std::printf("\n");

  // 8. Leave: Disconnect announces the departure to the others before the endpoints close.
  VELResult left = peer->Disconnect();
  RemoveCallback(births);
  RemoveCallback(statuses);
  peer->Release();
  std::printf("disconnected: %s\n", VEL_SUCCEEDED(left) ? "ok" : "failed");
  return VEL_SUCCEEDED(left) ? 0 : 1;
}
