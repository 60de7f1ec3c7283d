// A reference to an event loop that knows when the loop is gone, and the way to hand an object to a loop.
#ifndef VELP2P_HOST_VELLOOPLINK_H
#define VELP2P_HOST_VELLOOPLINK_H

#include <memory>

class VELApplication;

// Objects that register watches and timers hold the loop through a link rather than a bare pointer, so
// that the loop and they may be destroyed in either order: once the loop is destroyed, Get() is null and
// the object has nothing left to withdraw. An object that must go on working after its owner let go (a
// sender still delivering its queue) is adopted by the loop instead: the loop destroys it in its own
// destructor, while everything the object registered can still be withdrawn, unless the object was
// dropped earlier.
class VELLoopLink {
 public:
  VELLoopLink() = default;
  explicit VELLoopLink(VELApplication* loop);

  // The loop, or null once it was destroyed (and for a default link).
  VELApplication* Get() const { return _life.expired() ? nullptr : _loop; }

  // The loop takes the object over. False when the loop is gone: the object is then destroyed here.
  bool Adopt(std::shared_ptr<void> object) const;
  // Destroys an adopted object: once the loop's turn in progress ends, or at once outside a turn. Does
  // nothing for an object the loop does not hold.
  void Drop(const void* object) const;
  // Adopted objects the loop still holds.
  int Adopted() const;

 private:
  VELApplication* _loop = nullptr;
  std::weak_ptr<void> _life;  // expires when the loop's destructor begins to tear the loop down
};

#endif
