// A descriptor that an application's own loop can watch for reading: readable while one of the descriptors
// it watches is, or while it is raised. It lets one descriptor stand for "a loop has work or a queue holds
// something" (select, poll, epoll and asyncio's add_reader all accept it).
#ifndef VELP2P_HOST_VELREADYDESCRIPTOR_H
#define VELP2P_HOST_VELREADYDESCRIPTOR_H

class VELReadyDescriptor {
 public:
  VELReadyDescriptor();
  ~VELReadyDescriptor();
  VELReadyDescriptor(const VELReadyDescriptor&) = delete;
  VELReadyDescriptor& operator=(const VELReadyDescriptor&) = delete;

  // False when the descriptors could not be made; every call is then harmless and Descriptor() is -1.
  bool Valid() const { return _set >= 0 && _raised >= 0; }
  // Watches descriptor for reading until Unwatch; it must be unwatched before it is closed.
  bool Watch(int descriptor);
  void Unwatch(int descriptor);
  // Raise keeps the descriptor readable until Lower; both may be repeated.
  void Raise();
  void Lower();
  // Watch it, never read or close it.
  int Descriptor() const { return _set; }

 private:
  int _set;        // epoll set of the watched descriptors and _raised
  int _raised;     // eventfd, readable while raised
  bool _isRaised;  // whether _raised holds a count
};

#endif
