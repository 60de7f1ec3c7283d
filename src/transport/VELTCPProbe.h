// Asks whether something listens at a TCP address without blocking the loop: a non-blocking connect,
// closed as soon as it is answered, with nothing sent.
#ifndef VELP2P_TRANSPORT_VELTCPPROBE_H
#define VELP2P_TRANSPORT_VELTCPPROBE_H

#include <cstdint>
#include <functional>
#include <map>

#include "host/VELLoopLink.h"

class VELApplication;

// The receiver sees a connection that closes before bringing a byte, which a listener of this library
// drops without telling anyone. A result is always reported from the loop, never from inside Start, and
// probes still in flight when the prober is destroyed, or started once the loop is gone, are dropped
// without a report. The loop and the prober may be destroyed in either order.
class VELTCPProbe {
 public:
  // kTimedOut also covers errors that say nothing about the listener (no route, no descriptor).
  enum class Result { kConnected, kRefused, kTimedOut };
  typedef std::function<void(Result)> Callback;

  explicit VELTCPProbe(VELApplication* application) : _application(application), _loop(application) {}
  ~VELTCPProbe();
  VELTCPProbe(const VELTCPProbe&) = delete;
  VELTCPProbe& operator=(const VELTCPProbe&) = delete;

  void Start(uint32_t addressNetworkOrder, unsigned short port, int timeoutMs, Callback callback);
  int InFlight() const { return static_cast<int>(_probes.size()); }

 private:
  struct Probe {
    int descriptor;
    int timerId;
    Callback callback;
  };
  void Finish(int id, Result result);

  VELApplication* _application;  // used only while _loop says it lives
  VELLoopLink _loop;
  std::map<int, Probe> _probes;
  int _nextId = 1;
};

#endif
