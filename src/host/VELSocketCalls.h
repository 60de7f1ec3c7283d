// The system's TCP calls as the transport's policies use them: non-blocking, one or two counted system calls
// each, with errno values as results. They decide nothing: no retry, no timer, no framing.
#ifndef VELP2P_HOST_VELSOCKETCALLS_H
#define VELP2P_HOST_VELSOCKETCALLS_H

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

// A non-blocking socket connecting to the address and port: 0 with *descriptor once the connection is made
// or on its way, otherwise the errno value and no descriptor left open. noDelay sends every write at once.
int VELTCPConnect(uint32_t addressNetworkOrder, unsigned short port, bool noDelay, int* descriptor);
// The outcome of a connection that was on its way: 0 when made, else its errno value.
int VELTCPConnectResult(int descriptor);
// A non-blocking listening socket on address (null: every address) and port (0: one the system chooses),
// reusing the address, asking for receiveBuffer bytes of room per connection (0: the system's default). 0
// with *descriptor and *boundPort, otherwise the errno value and no descriptor left open.
int VELTCPListen(const char* address, unsigned short port, int backlog, int receiveBuffer, int* descriptor,
                 unsigned short* boundPort);
// One waiting connection, non-blocking, and the address it came from (network order): 0, or the errno value
// (EAGAIN when none waits).
int VELTCPAccept(int listener, int* descriptor, uint32_t* source);
// Whether a connection waits on the listener, without waiting.
bool VELTCPConnectionWaiting(int listener);
// What the socket takes now of the bytes, or of the pieces in order: the count taken, or minus the errno
// value
// (-EAGAIN when it takes nothing now). Never raises SIGPIPE; an interrupted call is made again.
ssize_t VELTCPSend(int descriptor, const void* bytes, size_t length);
ssize_t VELTCPSendPieces(int descriptor, const iovec* pieces, int count);
// What has arrived, up to length bytes: the count, 0 at the end of the stream, or minus the errno value
// (-EAGAIN when nothing is there). An interrupted call is made again.
ssize_t VELTCPReceive(int descriptor, void* bytes, size_t length);
// Waits at most timeoutMs for the descriptor to be readable (or writable): 0, ETIMEDOUT or the errno value.
int VELWaitReadable(int descriptor, int timeoutMs);
int VELWaitWritable(int descriptor, int timeoutMs);
// Closes the descriptor (nothing for a negative one). abort resets the connection instead of ending it in
// order, so that nothing of it lingers on this side.
void VELTCPClose(int descriptor, bool abort = false);

// A descriptor that is readable while raised: what a queue gives a loop to watch. Both ends are -1 when it
// could not be made.
struct VELSignalPipe {
  int read = -1;
  int write = -1;
};
int VELOpenSignalPipe(VELSignalPipe* pipe);
void VELRaiseSignal(const VELSignalPipe& pipe);
void VELLowerSignal(const VELSignalPipe& pipe);
void VELCloseSignalPipe(VELSignalPipe* pipe);

#endif
