#include "transport/VELTCPProbe.h"

#include <cerrno>

#include "host/VELSocketCalls.h"
#include "velp2p/VELApplication.h"

VELTCPProbe::~VELTCPProbe() {
  // A loop destroyed first took the watches and timers with it.
  bool withLoop = _loop.Get() != nullptr;
  for (auto& entry : _probes) {
    if (entry.second.descriptor >= 0) {
      if (withLoop)
        _application->RemoveWatch(entry.second.descriptor);
      VELTCPClose(entry.second.descriptor);
    }
    if (withLoop)
      _application->CancelTimer(entry.second.timerId);
  }
}

void VELTCPProbe::Start(uint32_t addressNetworkOrder, unsigned short port, int timeoutMs, Callback callback) {
  if (_loop.Get() == nullptr)
    return;
  int id = _nextId++;
  Probe& probe = _probes[id];
  probe.callback = std::move(callback);
  Result early = Result::kTimedOut;
  bool pending = false;
  const int error = VELTCPConnect(addressNetworkOrder, port, false, &probe.descriptor);
  if (error == 0) {
    pending = _application->AddWatch(probe.descriptor, false, true, [this, id](int d, bool, bool, bool) {
      int result = VELTCPConnectResult(d);
      Finish(id, result == 0              ? Result::kConnected
                 : result == ECONNREFUSED ? Result::kRefused
                                          : Result::kTimedOut);
    }) == 0;
  } else if (error == ECONNREFUSED) {
    early = Result::kRefused;
  }
  if (!pending && probe.descriptor >= 0) {
    VELTCPClose(probe.descriptor);
    probe.descriptor = -1;
  }
  probe.timerId = _application->AddTimer(pending ? timeoutMs : 0, [this, id, early]() { Finish(id, early); });
}

void VELTCPProbe::Finish(int id, Result result) {
  auto found = _probes.find(id);
  if (found == _probes.end())
    return;
  Probe probe = std::move(found->second);
  _probes.erase(found);
  if (probe.descriptor >= 0) {
    _application->RemoveWatch(probe.descriptor);
    VELTCPClose(probe.descriptor);
  }
  _application->CancelTimer(probe.timerId);
  if (probe.callback)
    probe.callback(result);
}
