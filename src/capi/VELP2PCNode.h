// A node of the C interface: the options set on it, the loop it runs on, the bounded queue its events wait
// in and the node (with its peer) it speaks for. Every C node has a node of its own, so a process may hold
// as many as it likes, each started and stopped on its own.
#ifndef VELP2P_CAPI_VELP2PCNODE_H
#define VELP2P_CAPI_VELP2PCNODE_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capi/VELP2PCEventQueue.h"
#include "host/VELLoopLink.h"
#include "velp2p/VELResult.h"

class VELApplication;
class VELCallback;
class VELNotification;
class VELP2PNode;
class VELP2PPeer;

class VELP2PCNode {
 public:
  // Runs on the main application when one exists, else on a loop of its own.
  VELP2PCNode();
  // Leaves the network first when started.
  ~VELP2PCNode();
  VELP2PCNode(const VELP2PCNode&) = delete;
  VELP2PCNode& operator=(const VELP2PCNode&) = delete;

  // Checks and keeps one option (the peer's options of VELP2POptions, or the node's own: diagnostics,
  // queue, linger); refused once started.
  VELResult Set(const std::string& option, const std::string& value);
  VELResult Start();
  // The peer's name, "" before the start.
  const char* Name() const { return _name.c_str(); }
  // The started peer, or null with NOT_CONNECTED recorded.
  VELP2PPeer* Peer();
  // The node behind it.
  VELP2PNode& Node() { return *_node; }

  int Descriptor() { return _queue.Descriptor(); }
  int TimeoutMs() const;
  // The ready work without waiting; the number of events queued, -1 when the loop failed.
  int Process();
  // The oldest event, running the loop at most timeoutMs (negative: no limit) until there is one. Null on
  // time-out (nothing recorded) or failure (its reason recorded).
  std::unique_ptr<velp2p_event_t> Receive(int timeoutMs);
  uint64_t Dropped() const { return _queue.DroppedTotal(); }

 private:
  void Queue(VELNotification* notification);
  // The loop, or null with FAILED recorded once the main application it ran on is gone.
  VELApplication* Loop();

  std::unique_ptr<VELApplication> _ownedLoop;  // when no main application existed; goes after the node
  VELLoopLink _loop;                           // the one the node runs: _ownedLoop, or the main application
  std::unique_ptr<VELP2PNode> _node;
  std::vector<std::pair<std::string, std::string>> _settings;  // the peer's options, in the order set
  std::string _diagnostics;  // "" (the process's default), "off", "stderr", "stdout" or "events"
  int _lingerMs;
  VELP2PCEventQueue _queue;
  VELCallback* _subscription;  // to every notification of the peer
  int _watched;                // the loop's descriptor the queue watches, -1 when none
  std::string _name;
  // What the diagnostics sent as events check: senders released by the node may outlive it on a loop that
  // is not its own.
  std::shared_ptr<char> _life = std::make_shared<char>();
};

// The C interface's name for it.
struct velp2p_node_t : VELP2PCNode {};

#endif
