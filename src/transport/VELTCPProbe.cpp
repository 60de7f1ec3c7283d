#include "transport/VELTCPProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/VELSystemCalls.h"
#include "velp2p/VELApplication.h"

VELTCPProbe::~VELTCPProbe() {
  // A loop destroyed first took the watches and timers with it.
  bool withLoop = _loop.Get() != nullptr;
  for (auto& entry : _probes) {
    if (entry.second.descriptor >= 0) {
      if (withLoop)
        _application->RemoveWatch(entry.second.descriptor);
      VELSys(close(entry.second.descriptor));
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
  probe.descriptor = VELSys(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  Result early = Result::kTimedOut;
  bool pending = false;
  if (probe.descriptor >= 0) {
    sockaddr_in remote;
    std::memset(&remote, 0, sizeof(remote));
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = addressNetworkOrder;
    remote.sin_port = htons(port);
    int connected = VELSys(connect(probe.descriptor, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)));
    if (connected == 0) {
      early = Result::kConnected;
    } else if (errno == EINPROGRESS) {
      pending = _application->AddWatch(probe.descriptor, false, true, [this, id](int d, bool, bool, bool) {
        int error = 0;
        socklen_t size = sizeof(error);
        if (VELSys(getsockopt(d, SOL_SOCKET, SO_ERROR, &error, &size)) != 0)
          error = errno;
        Finish(id, error == 0              ? Result::kConnected
                   : error == ECONNREFUSED ? Result::kRefused
                                           : Result::kTimedOut);
      }) == 0;
    } else if (errno == ECONNREFUSED) {
      early = Result::kRefused;
    }
  }
  if (!pending && probe.descriptor >= 0) {
    VELSys(close(probe.descriptor));
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
    VELSys(close(probe.descriptor));
  }
  _application->CancelTimer(probe.timerId);
  if (probe.callback)
    probe.callback(result);
}
