#include "VELBenchNode.h"

#include <cstdlib>

#include "VELBenchProcess.h"
#include "velp2p/VELDiagnostics.h"
#include "velp2p/VELP2PNotifications.h"

VELBenchNode::VELBenchNode(const std::string& login, const std::string& config) {
  setenv("VELP2PLogin", login.c_str(), 1);
  setenv("VELP2PConfig", config.c_str(), 1);
  VELSetDiagnosticStream(nullptr);
  _peer = VELIP2PPeerFactory::GetLocalPeer();
  if (!_peer)
    return;
  VELBaseUnknown* publisher = _peer->GetP2PPublisher();
  _births = AddCallback(nullptr, publisher, "VELP2PPeerBirthNotif", [this](VELNotification* n) {
    ++_birthCount;
    if (_keepNames)
      _known.insert(static_cast<VELP2PNotif*>(n)->getPeerName()->Str());
  });
  _messages = AddCallback(nullptr, publisher, "VELP2PMessageReceivedNotif", [this](VELNotification* n) {
    auto* m = static_cast<VELP2PMessageReceivedNotif*>(n);
    if (onMessage)
      onMessage({m->getPeerName()->Str(), m->getType(), m->getBuffer(), m->getLength()});
  });
  _statuses = AddCallback(nullptr, publisher, "VELP2PChangeStatusNotif", [this](VELNotification* n) {
    auto* change = static_cast<VELP2PChangeStatusNotif*>(n);
    if (!onStatus)
      return;
    VELUnicodeString description;
    change->getDescription(description);
    onStatus(change->getPeerName()->Str(), change->getStatus(), description.Str());
  });
}

VELBenchNode::~VELBenchNode() {
  if (!_peer)
    return;
  _peer->Disconnect();
  RemoveCallback(_births);
  RemoveCallback(_messages);
  RemoveCallback(_statuses);
  _peer->Release();
}

bool VELBenchNode::Start() {
  return _peer && VEL_SUCCEEDED(_peer->InitP2PForRTC());
}

bool VELBenchNode::WaitFor(const std::set<std::string>& names, int timeoutMs) {
  return _app.RunUntil(
      [&] {
        for (const std::string& name : names)
          if (!_known.count(name))
            return false;
        return true;
      },
      timeoutMs);
}

void VELBenchNode::Serve(VELBenchControl& control, int timeoutMs) {
  double deadline = VELBenchNowUs() + timeoutMs * 1000.0;
  while (!control.Stopped() && VELBenchNowUs() < deadline)
    _app.RunOnce(5);
}

bool VELBenchNode::ServeUntilGo(VELBenchControl& control, int timeoutMs) {
  double deadline = VELBenchNowUs() + timeoutMs * 1000.0;
  while (VELBenchNowUs() < deadline) {
    if (control.WaitGo(0))
      return true;
    if (control.Stopped())
      return control.WaitGo(0);
    _app.RunOnce(2);
  }
  return false;
}
