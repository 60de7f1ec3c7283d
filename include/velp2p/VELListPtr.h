// A list of pointers to T with 1-based positions, over VELRawCollPV; it never owns its elements.
#ifndef VELP2P_VELLISTPTR_H
#define VELP2P_VELLISTPTR_H

#include <cstddef>
#include <iterator>

#include "velp2p/VELRawCollPV.h"

template <class T>
class VELListPtr : public VELRawCollPV {
 public:
  // Walks the elements as T*, so that a range-for needs no cast.
  class const_iterator {
   public:
    typedef std::forward_iterator_tag iterator_category;
    typedef T* value_type;
    typedef std::ptrdiff_t difference_type;
    typedef T* const* pointer;
    typedef T* reference;

    explicit const_iterator(VELRawCollPV::const_iterator at) : _at(at) {}
    T* operator*() const { return static_cast<T*>(*_at); }
    const_iterator& operator++() {
      ++_at;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++_at;
      return before;
    }
    bool operator==(const const_iterator& other) const { return _at == other._at; }
    bool operator!=(const const_iterator& other) const { return _at != other._at; }

   private:
    VELRawCollPV::const_iterator _at;
  };

  VELListPtr() = default;

  // Null outside 1 to Size().
  T* operator[](int position) const { return static_cast<T*>(VELRawCollPV::operator[](position)); }
  void Append(T* value) { VELRawCollPV::Append(value); }
  int InsertAt(int position, T* value) { return VELRawCollPV::InsertAt(position, value); }
  int Locate(T* value, int start = 1) const { return VELRawCollPV::Locate(value, start); }
  int RemoveValue(T* value) { return VELRawCollPV::RemoveValue(value); }

  const_iterator begin() const { return const_iterator(VELRawCollPV::begin()); }
  const_iterator end() const { return const_iterator(VELRawCollPV::end()); }
};

#endif
