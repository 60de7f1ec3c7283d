#include "host/VELOutgoingConnections.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <list>
#include <memory>

#include "host/VELSystemCalls.h"
#include "velp2p/VELApplication.h"

namespace {

// One connection in the queue. Its watch and its timer each hold a reference; both are ended by
// Finish(), and the last reference closes the descriptor if Finish() never ran (application destroyed).
struct Outgoing {
  VELApplication* application;  // where the watch and timer are registered; not owned
  int descriptor;               // -1 once closed
  std::vector<char> rest;       // bytes not yet accepted by the socket
  size_t offset = 0;            // of the first unsent byte in rest
  int timerId = 0;              // the linger timer

  ~Outgoing() {
    if (descriptor >= 0) {
      VELSys(close(descriptor));
    }
  }

  bool Written() const { return offset == rest.size(); }

  void Finish() {
    if (descriptor < 0) {
      return;
    }
    application->RemoveWatch(descriptor);
    application->CancelTimer(timerId);
    VELSys(close(descriptor));
    descriptor = -1;
  }

  // False when the connection failed and was finished.
  bool WriteSome() {
    while (!Written()) {
      ssize_t sent =
          VELSys(send(descriptor, rest.data() + offset, rest.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT));
      if (sent < 0) {
        if (errno == EINTR) {
          continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          return true;
        }
        Finish();
        return false;
      }
      offset += static_cast<size_t>(sent);
    }
    std::vector<char>().swap(rest);
    offset = 0;
    application->ModifyWatch(descriptor, true, false);
    return true;
  }

  void OnReady(bool readable, bool writable, bool error) {
    if (writable && !WriteSome()) {
      return;
    }
    if (readable) {
      // The receiver sends nothing; end of stream (or a reset) is its close, which we wait for.
      char scratch[512];
      ssize_t received = VELSys(recv(descriptor, scratch, sizeof(scratch), MSG_DONTWAIT));
      if (received == 0 || (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        Finish();
        return;
      }
    }
    if (error) {
      Finish();
    }
  }
};

// The connections adopted on one loop, oldest first; entries expire when their callbacks are released.
using Registry = std::list<std::weak_ptr<Outgoing>>;

void Prune(Registry& registry) {
  for (auto it = registry.begin(); it != registry.end();) {
    auto connection = it->lock();
    it = (connection == nullptr || connection->descriptor < 0) ? registry.erase(it) : std::next(it);
  }
}

void MakeRoom(Registry& registry) {
  Prune(registry);
  if (static_cast<int>(registry.size()) < VELOutgoingConnections::kMaxConnections) {
    return;
  }
  // A fully written connection only waits for its receiver's close, so dropping it loses nothing.
  for (auto it = registry.begin(); it != registry.end(); ++it) {
    auto connection = it->lock();
    if (connection != nullptr && connection->Written()) {
      connection->Finish();
      registry.erase(it);
      return;
    }
  }
  auto oldest = registry.front().lock();
  if (oldest != nullptr) {
    oldest->Finish();
  }
  registry.pop_front();
}

}  // namespace

int VELOutgoingConnections::Adopt(VELApplication* application, int descriptor, std::vector<char>&& rest) {
  if (application == nullptr || descriptor < 0) {
    return EINVAL;
  }
  std::shared_ptr<void>& slot = Of(application);
  if (!slot) {
    slot = std::make_shared<Registry>();
  }
  Registry& registry = *static_cast<Registry*>(slot.get());
  MakeRoom(registry);
  auto connection = std::make_shared<Outgoing>();
  connection->application = application;
  connection->descriptor = descriptor;
  connection->rest = std::move(rest);
  bool pending = !connection->Written();
  int result = application->AddWatch(descriptor, true, pending,
                                     [connection](int, bool readable, bool writable, bool error) {
                                       connection->OnReady(readable, writable, error);
                                     });
  if (result != 0) {
    connection->descriptor = -1;  // still the caller's
    return EBUSY;
  }
  connection->timerId = application->AddTimer(kLingerMs, [connection]() { connection->Finish(); });
  registry.push_back(connection);
  return 0;
}

int VELOutgoingConnections::Count(VELApplication* application) {
  if (application == nullptr || !Of(application)) {
    return 0;
  }
  Registry& registry = *static_cast<Registry*>(Of(application).get());
  Prune(registry);
  return static_cast<int>(registry.size());
}

std::shared_ptr<void>& VELOutgoingConnections::Of(VELApplication* application) {
  return application->OutgoingConnections();
}
