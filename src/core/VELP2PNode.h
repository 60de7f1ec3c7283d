// Everything one local peer needs, in an object a process may make as often as it likes: the peer that
// applications talk to (its name, groups, endpoints, services, directories and statuses), the seam its
// endpoints hand messages to, the budgets of its automatic work, its sends, its presence machinery, the
// subscriptions to its notifications and where its diagnostics go. A node runs on one loop and is used from
// that loop's thread; nodes share nothing, so two of them talk to each other as two processes would, on one
// loop or on two. VELP2PPeer::GetLocalPeer is a face over one default node.
//
// Lifetime. The node owns one reference on its peer; an application may hold more, and a peer that outlives
// its node is stopped and refuses to start again. The loop, the node and the senders a node released (still
// delivering what was queued) may go in any order: everything that registered with the loop holds it through
// a link and finds it gone, and a released sender belongs to its loop.
#ifndef VELP2P_CORE_VELP2PNODE_H
#define VELP2P_CORE_VELP2PNODE_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/VELP2PAnswerGuard.h"
#include "core/VELP2PPeerReceiver.h"
#include "core/VELP2PPresenceSettings.h"
#include "host/VELCallbackRegistry.h"
#include "host/VELDiagnosticSink.h"
#include "host/VELLoopLink.h"

class VELApplication;
class VELP2PLiveness;
class VELP2PPeer;
class VELP2PPresence;
class VELP2PSending;

class VELP2PNode {
 public:
  // loop: the one the node runs on; null: the main application found at each start.
  explicit VELP2PNode(VELApplication* loop = nullptr);
  // Leaves the network first when started; destroyed from outside the callbacks of its own loop.
  ~VELP2PNode();
  VELP2PNode(const VELP2PNode&) = delete;
  VELP2PNode& operator=(const VELP2PNode&) = delete;

  // The node behind VELP2PPeer::GetLocalPeer, made on first use over the main application; null only when
  // memory ran out.
  static VELP2PNode* Default();
  // Destroys the default node, if there is one (the clean-up at process exit).
  static void DestroyDefault();
  bool IsDefault() const;

  VELP2PPeer& Peer() { return *_peer; }
  // The loop of the last start (null before it, and once that loop is gone).
  VELApplication* Loop() const { return _bound.Get(); }
  // Binds the loop a start runs on: the one given at creation, or the current main application. Null when
  // there is none.
  VELApplication* BindLoop();

  VELP2PPeerReceiver& Receiver() { return _receiver; }
  VELP2PAnswerGuard& Guard() { return _guard; }
  const std::shared_ptr<VELP2PSending>& Sending() const { return _sending; }
  VELCallbackRegistry& Callbacks() { return _callbacks; }

  const VELDiagnosticSink& Diagnostics() const { return _diagnostics; }
  // Diagnostics go to function from now on; an empty function: to the process's stream.
  void SetDiagnostics(std::function<void(const std::string& text)> function);

  // The presence machinery of the started peer; null while stopped, and for the parts the settings turn off.
  VELP2PPresence* Presence() const { return _presence.get(); }
  VELP2PLiveness* Liveness() const;
  void StartPresence(const VELP2PPresenceSettings& settings);
  // The peer may stop from a notification fired by the presence machinery's own callbacks: it is destroyed
  // once the loop's turn ends (or with the node), and callbacks that still come find it detached.
  void StopPresence();

 private:
  VELApplication* _given;  // the loop given at creation, or null
  VELLoopLink _givenLink;  // whether _given still lives
  VELLoopLink _bound;      // the loop of the last start
  // Declared first, destroyed last: every object below may still end subscriptions in it.
  VELCallbackRegistry _callbacks;
  VELDiagnosticSink _diagnostics;
  VELP2PAnswerGuard _guard;
  std::shared_ptr<VELP2PSending> _sending;
  VELP2PPeerReceiver _receiver;
  std::unique_ptr<VELP2PPresence> _presence;
  std::vector<std::unique_ptr<VELP2PPresence>> _retired;   // stopped, waiting for the end of a turn
  std::shared_ptr<char> _life = std::make_shared<char>();  // what the deferred clean-ups check
  VELP2PPeer* _peer;                                       // one reference
};

// The diagnostics of a peer's node; the process's stream for a peer whose node is gone.
const VELDiagnosticSink& VELP2PDiagnosticsOf(const VELP2PPeer& peer);

#endif
