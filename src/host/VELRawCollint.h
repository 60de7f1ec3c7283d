// An ordered list of integers with 1-based positions.
#ifndef VELP2P_HOST_VELRAWCOLLINT_H
#define VELP2P_HOST_VELRAWCOLLINT_H

#include <vector>

class VELRawCollint {
 public:
  typedef std::vector<int>::const_iterator const_iterator;

  VELRawCollint() = default;

  void Append(int value) { _items.push_back(value); }
  int Size() const { return static_cast<int>(_items.size()); }
  // Positions run from 1 to Size(). Outside that range the const form gives 0 and the other form a scratch
  // slot of this list, reset to 0 at each such access.
  int operator[](int position) const;
  int& operator[](int position);
  // Inserts value so that it ends at position (1 to Size() + 1); 1 when inserted, 0 for a position outside.
  int InsertAt(int position, int value);
  // The position of the first occurrence of value at or after start, or 0.
  int Locate(int value, int start = 1) const;
  // Removes the first occurrence of value; returns its former position, or 0 when absent.
  int RemoveValue(int value);
  // Removes the element at position; 1 when removed, 0 for a position outside the list.
  int RemovePosition(int position);
  void RemoveAll() { _items.clear(); }
  // Removes every zero element; returns how many were removed.
  int RemoveNulls();

  bool operator==(const VELRawCollint& other) const { return _items == other._items; }
  bool operator!=(const VELRawCollint& other) const { return _items != other._items; }

  const_iterator begin() const { return _items.begin(); }
  const_iterator end() const { return _items.end(); }

 private:
  std::vector<int> _items;
  int _outOfRange = 0;  // what a position outside the list designates
};

#endif
