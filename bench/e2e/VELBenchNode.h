// One velp2p peer inside a benchmark child process, on the public API only: its loop, its directory as heard
// through birth notifications, and the messages and status changes it receives.
#ifndef VELP2P_BENCH_VELBENCHNODE_H
#define VELP2P_BENCH_VELBENCHNODE_H

#include <functional>
#include <set>
#include <string>

#include "velp2p/VELApplication.h"
#include "velp2p/VELIP2PPeer.h"
#include "velp2p/VELNotification.h"

class VELBenchControl;

// A received application message: the sender, the type and the data.
struct VELBenchMessage {
  std::string from;
  unsigned char type;
  const char* data;
  unsigned int length;
};

class VELBenchNode {
 public:
  // login becomes the peer's name (login + "_KVZ"); config names the endpoint configuration file.
  VELBenchNode(const std::string& login, const std::string& config);
  ~VELBenchNode();
  VELBenchNode(const VELBenchNode&) = delete;
  VELBenchNode& operator=(const VELBenchNode&) = delete;

  static std::string NameOf(const std::string& login) { return login + "_KVZ"; }

  bool Start();
  // Turns the loop until every name is in the directory (or the deadline passes).
  bool WaitFor(const std::set<std::string>& names, int timeoutMs);
  // Turns the loop until the parent says stop, at most timeoutMs.
  void Serve(VELBenchControl& control, int timeoutMs);
  // Turns the loop until the parent's go byte; false on stop or timeout.
  bool ServeUntilGo(VELBenchControl& control, int timeoutMs);

  VELApplication& App() { return _app; }
  VELIP2PPeer* Peer() { return _peer; }
  bool Knows(const std::string& name) const { return _known.count(name) != 0; }
  size_t Births() const { return _birthCount; }
  // From now on births are counted and their names not kept: a heap measurement then sees the library's
  // memory, not this node's.
  void StopKeepingNames() { _keepNames = false; }

  std::function<void(const VELBenchMessage&)> onMessage;
  std::function<void(const std::string& from, int status, const std::string& description)> onStatus;

 private:
  VELApplication _app;
  VELIP2PPeer* _peer = nullptr;
  VELCallback* _births = nullptr;
  VELCallback* _messages = nullptr;
  VELCallback* _statuses = nullptr;
  std::set<std::string> _known;
  size_t _birthCount = 0;
  bool _keepNames = true;
};

#endif
