// An ordered list of strings held by value, with 1-based positions.
#ifndef VELP2P_VELLISTVALVELUNICODESTRING_H
#define VELP2P_VELLISTVALVELUNICODESTRING_H

#include <vector>

#include "velp2p/VELExport.h"
#include "velp2p/VELUnicodeString.h"

class VELP2P_API VELListValVELUnicodeString {
 public:
  typedef std::vector<VELUnicodeString>::iterator iterator;
  typedef std::vector<VELUnicodeString>::const_iterator const_iterator;

  VELListValVELUnicodeString() = default;

  void Append(const VELUnicodeString& text) { _items.push_back(text); }
  int Size() const { return static_cast<int>(_items.size()); }
  // Positions run from 1 to Size(). Outside that range the const form gives an empty string and the other
  // form a scratch string of this list, emptied at each such access, so a wrong position never touches memory
  // outside the list.
  const VELUnicodeString& operator[](int position) const;
  VELUnicodeString& operator[](int position);
  void RemoveAll() { _items.clear(); }
  // The position of the first string equal to text, or 0.
  int Locate(const VELUnicodeString& text) const;
  // Removes the string at position; 1 when removed, 0 for a position outside the list.
  int RemovePosition(int position);

  bool operator==(const VELListValVELUnicodeString& other) const { return _items == other._items; }
  bool operator!=(const VELListValVELUnicodeString& other) const { return _items != other._items; }

  iterator begin() { return _items.begin(); }
  iterator end() { return _items.end(); }
  const_iterator begin() const { return _items.begin(); }
  const_iterator end() const { return _items.end(); }

 private:
  std::vector<VELUnicodeString> _items;
  VELUnicodeString _outOfRange;  // what a position outside the list designates
};

#endif
