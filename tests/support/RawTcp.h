// Plain TCP sockets that tests drive byte by byte against the library's listening and sending sides.
#ifndef VELP2P_TESTS_SUPPORT_RAWTCP_H
#define VELP2P_TESTS_SUPPORT_RAWTCP_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class VELApplication;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// Host addresses of 127/8, in network order: each is another host to a listener.
uint32_t LoopbackHost(int n);

// A block of the given total size: four-byte big-endian length, then a pattern that depends on the seed.
std::vector<char> MakeBlock(uint32_t size, unsigned char seed);

// A client connected to port on loopback, from the loopback address given (network order).
class RawClient {
 public:
  explicit RawClient(unsigned short port, uint32_t from = kLoopback);
  ~RawClient() { Close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Write(const void* bytes, size_t length);
  // What the kernel takes now, without waiting.
  size_t WriteSome(const void* bytes, size_t length);
  // True once the other side has closed (end of stream or reset); what came before is kept for ReadSome.
  bool SeesClose();
  // What has arrived, without waiting, appended to into.
  void ReadSome(std::vector<char>& into);
  void Close();
  int Descriptor() const { return _descriptor; }

 private:
  int _descriptor;
  std::vector<char> _pending;  // read by SeesClose
};

// Writes bytes to clients from a loop's timers, as fast as each connection takes them, so that the loop reads
// them meanwhile. The clients and the bytes must outlive the writing; the writer must outlive the loop's
// turns.
class LoopWriter {
 public:
  explicit LoopWriter(VELApplication& loop) : _loop(loop) {}
  // Writes bytes up to upTo to client, then calls then.
  void Pump(RawClient& client, const std::vector<char>& bytes, size_t upTo, std::function<void()> then = {});

 private:
  VELApplication& _loop;
  std::vector<std::unique_ptr<std::function<void()>>> _pumps;
};

// A TCP socket bound to a loopback port that the system chose, not listening yet.
int BoundSocket(unsigned short& port);

// The acknowledgements in bytes a stream's receiver wrote: each count, with the closing bit as it came.
std::vector<uint32_t> Acknowledgements(const std::vector<char>& bytes);

#endif
