#include "velp2p/VELRawCollPV.h"

#include <algorithm>

void* VELRawCollPV::operator[](int position) const {
  if (position < 1 || position > Size())
    return nullptr;
  return _items[static_cast<size_t>(position - 1)];
}

void*& VELRawCollPV::operator[](int position) {
  if (position < 1 || position > Size()) {
    _outOfRange = nullptr;
    return _outOfRange;
  }
  return _items[static_cast<size_t>(position - 1)];
}

int VELRawCollPV::InsertAt(int position, void* value) {
  if (position < 1 || position > Size() + 1)
    return 0;
  _items.insert(_items.begin() + (position - 1), value);
  return 1;
}

int VELRawCollPV::Locate(void* value, int start) const {
  if (start < 1)
    start = 1;
  for (size_t i = static_cast<size_t>(start - 1); i < _items.size(); ++i) {
    if (_items[i] == value)
      return static_cast<int>(i + 1);
  }
  return 0;
}

int VELRawCollPV::RemoveValue(void* value) {
  int position = Locate(value);
  if (position > 0)
    _items.erase(_items.begin() + (position - 1));
  return position;
}

int VELRawCollPV::RemovePosition(int position) {
  if (position < 1 || position > Size())
    return 0;
  _items.erase(_items.begin() + (position - 1));
  return 1;
}

int VELRawCollPV::RemoveNulls() {
  size_t before = _items.size();
  _items.erase(std::remove(_items.begin(), _items.end(), nullptr), _items.end());
  return static_cast<int>(before - _items.size());
}
