// A node of the C interface: the options set on it, the loop it runs on, the bounded queue its events wait
// in and, once started, the peer it speaks for.
//
// A process has one peer today, so at most one node holds it at a time. Everything that reaches the peer
// goes through Peer(), and only Start() and Leave() decide who holds it: giving each node a peer of its own
// changes those three places and nothing else.
#ifndef VELP2P_CAPI_VELP2PCNODE_H
#define VELP2P_CAPI_VELP2PCNODE_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capi/VELP2PCEventQueue.h"
#include "velp2p/VELResult.h"

class VELApplication;
class VELCallback;
class VELNotification;
class VELP2PPeer;

class VELP2PCNode {
 public:
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
  // Disconnects, lets queued messages leave for the linger time, and lets go of the peer.
  void Leave();

  std::shared_ptr<VELApplication> _ownedLoop;  // the loop the C interface made, shared by its nodes
  VELApplication* _loop;                       // the one the node runs: _ownedLoop, or the process's
  std::vector<std::pair<std::string, std::string>> _settings;  // the peer's options, in the order set
  std::string _diagnostics;  // "" (the process's default), "off", "stderr", "stdout" or "events"
  int _lingerMs;
  VELP2PCEventQueue _queue;
  VELP2PPeer* _peer;           // one reference while this node holds the peer
  VELCallback* _subscription;  // to every notification of the peer
  std::string _name;
};

// The C interface's name for it.
struct velp2p_node_t : VELP2PCNode {};

#endif
