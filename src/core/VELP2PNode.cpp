#include "core/VELP2PNode.h"

#include <new>

#include "core/VELP2PPresence.h"
#include "transport/VELP2PSending.h"
#include "velp2p/VELApplication.h"
#include "velp2p/VELP2PPeer.h"
#include "velp2p/VELP2PSending.h"

namespace {

// The node of the C++ API's face; the one piece of the library's state that belongs to the process, as
// that API names no node.
VELP2PNode* g_default = nullptr;

}  // namespace

VELP2PNode::VELP2PNode(VELApplication* loop)
    : _given(loop),
      _givenLink(loop),
      _sending(std::make_shared<VELP2PSending>()),
      _receiver(*this),
      _peer(new VELP2PPeer(this)) {
  _callbacks.Publish(_peer);
}

VELP2PNode::~VELP2PNode() {
  if (g_default == this)
    g_default = nullptr;
  // Disconnect fires the close notification while endpoints and services exist; a peer that failed to
  // start may still hold what it made.
  if (_peer->_connected)
    (void)_peer->Disconnect();
  else
    (void)_peer->internal_destructor();
  _life.reset();
  _presence.reset();
  _retired.clear();
  _peer->_node = nullptr;
  _peer->Release();
}

VELP2PNode* VELP2PNode::Default() {
  if (!g_default)
    g_default = new (std::nothrow) VELP2PNode();
  return g_default;
}

void VELP2PNode::DestroyDefault() {
  delete g_default;
}

bool VELP2PNode::IsDefault() const {
  return g_default == this;
}

VELApplication* VELP2PNode::BindLoop() {
  VELApplication* loop = _given ? _givenLink.Get() : VELApplication::MainApplication();
  _bound = VELLoopLink(loop);
  return loop;
}

void VELP2PNode::SetDiagnostics(std::function<void(const std::string& text)> function) {
  _diagnostics = function
                     ? std::make_shared<const std::function<void(const std::string&)>>(std::move(function))
                     : nullptr;
  _sending->SetDiagnostics(_diagnostics);
}

VELP2PLiveness* VELP2PNode::Liveness() const {
  return _presence ? _presence->Liveness() : nullptr;
}

void VELP2PNode::StartPresence(const VELP2PPresenceSettings& settings) {
  StopPresence();
  if (VELApplication* loop = Loop())
    _presence = std::make_unique<VELP2PPresence>(*this, loop, settings);
}

void VELP2PNode::StopPresence() {
  if (!_presence)
    return;
  VELP2PPresence* stopped = _presence.get();
  _retired.push_back(std::move(_presence));
  std::weak_ptr<char> life = _life;
  VELApplication* loop = Loop();
  auto destroy = [this, life, stopped]() {
    if (life.expired())
      return;
    for (auto retired = _retired.begin(); retired != _retired.end(); ++retired) {
      if (retired->get() == stopped) {
        _retired.erase(retired);
        return;
      }
    }
  };
  if (!loop || !loop->DeferToTurnEnd(destroy))
    destroy();
}

const VELDiagnosticSink& VELP2PDiagnosticsOf(const VELP2PPeer& peer) {
  static const VELDiagnosticSink none;
  VELP2PNode* node = peer.Node();
  return node ? node->Diagnostics() : none;
}

int VELP2PPendingSends() {
  return g_default ? g_default->Sending()->Pending() : 0;
}
