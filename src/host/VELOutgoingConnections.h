// Finishes sending TCP blocks on the event loop and closes each connection once its receiver has closed.
#ifndef VELP2P_HOST_VELOUTGOINGCONNECTIONS_H
#define VELP2P_HOST_VELOUTGOINGCONNECTIONS_H

#include <memory>
#include <vector>

class VELApplication;

// Each loop holds its own connections: one loop never closes another's, which belongs to another thread.
// Waiting for the receiver's close before closing ours leaves TIME_WAIT on the receiving side, which
// closes first; a sender that sends a message per connection would otherwise pile those up. A connection
// is owned by the loop's callbacks registered for it, so it goes away with them even when the application
// is destroyed first.
class VELOutgoingConnections {
 public:
  // A connection whose receiver neither reads nor closes is given up after this long.
  static constexpr int kLingerMs = 5000;
  // Connections held at once; past it the oldest fully written one is closed, else the oldest.
  static constexpr int kMaxConnections = 256;

  // Takes the descriptor (0) and writes the rest of the block as the socket accepts it. Nonzero when the
  // loop refused the registration: the caller keeps the descriptor.
  static int Adopt(VELApplication* application, int descriptor, std::vector<char>&& rest);
  // Connections of the loop not yet closed, for tests and diagnostics.
  static int Count(VELApplication* application);

 private:
  static std::shared_ptr<void>& Of(VELApplication* application);
};

#endif
