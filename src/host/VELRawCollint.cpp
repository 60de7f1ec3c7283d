#include "host/VELRawCollint.h"

#include <algorithm>

int VELRawCollint::operator[](int position) const {
  if (position < 1 || position > Size())
    return 0;
  return _items[static_cast<size_t>(position - 1)];
}

int& VELRawCollint::operator[](int position) {
  if (position < 1 || position > Size()) {
    _outOfRange = 0;
    return _outOfRange;
  }
  return _items[static_cast<size_t>(position - 1)];
}

int VELRawCollint::InsertAt(int position, int value) {
  if (position < 1 || position > Size() + 1)
    return 0;
  _items.insert(_items.begin() + (position - 1), value);
  return 1;
}

int VELRawCollint::Locate(int value, int start) const {
  if (start < 1)
    start = 1;
  for (size_t i = static_cast<size_t>(start - 1); i < _items.size(); ++i) {
    if (_items[i] == value)
      return static_cast<int>(i + 1);
  }
  return 0;
}

int VELRawCollint::RemoveValue(int value) {
  int position = Locate(value);
  if (position > 0)
    _items.erase(_items.begin() + (position - 1));
  return position;
}

int VELRawCollint::RemovePosition(int position) {
  if (position < 1 || position > Size())
    return 0;
  _items.erase(_items.begin() + (position - 1));
  return 1;
}

int VELRawCollint::RemoveNulls() {
  size_t before = _items.size();
  _items.erase(std::remove(_items.begin(), _items.end(), 0), _items.end());
  return static_cast<int>(before - _items.size());
}
