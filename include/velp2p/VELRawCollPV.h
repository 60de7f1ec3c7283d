// An ordered list of untyped pointers with 1-based positions; it never owns what the pointers designate.
#ifndef VELP2P_VELRAWCOLLPV_H
#define VELP2P_VELRAWCOLLPV_H

#include <vector>

class VELRawCollPV {
 public:
  typedef std::vector<void*>::const_iterator const_iterator;

  VELRawCollPV() = default;

  void Append(void* value) { _items.push_back(value); }
  int Size() const { return static_cast<int>(_items.size()); }
  // Positions run from 1 to Size(). Outside that range the const form gives null and the other form a scratch
  // slot of this list, reset to null at each such access.
  void* operator[](int position) const;
  void*& operator[](int position);
  // Inserts value so that it ends at position (1 to Size() + 1); 1 when inserted, 0 for a position outside.
  int InsertAt(int position, void* value);
  // The position of the first occurrence of value at or after start, or 0.
  int Locate(void* value, int start = 1) const;
  // Removes the first occurrence of value; returns its former position, or 0 when absent.
  int RemoveValue(void* value);
  // Removes the element at position; 1 when removed, 0 for a position outside the list.
  int RemovePosition(int position);
  void RemoveAll() { _items.clear(); }
  // Removes every null element; returns how many were removed.
  int RemoveNulls();

  bool operator==(const VELRawCollPV& other) const { return _items == other._items; }
  bool operator!=(const VELRawCollPV& other) const { return _items != other._items; }

  const_iterator begin() const { return _items.begin(); }
  const_iterator end() const { return _items.end(); }

 private:
  std::vector<void*> _items;
  void* _outOfRange = nullptr;  // what a position outside the list designates
};

#endif
