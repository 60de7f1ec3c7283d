#include "velp2p/VELListValVELUnicodeString.h"

const VELUnicodeString& VELListValVELUnicodeString::operator[](int position) const {
  static const VELUnicodeString empty;
  if (position < 1 || position > Size())
    return empty;
  return _items[static_cast<size_t>(position - 1)];
}

VELUnicodeString& VELListValVELUnicodeString::operator[](int position) {
  if (position < 1 || position > Size()) {
    _outOfRange = VELUnicodeString();
    return _outOfRange;
  }
  return _items[static_cast<size_t>(position - 1)];
}

int VELListValVELUnicodeString::Locate(const VELUnicodeString& text) const {
  for (size_t i = 0; i < _items.size(); ++i) {
    if (_items[i] == text)
      return static_cast<int>(i + 1);
  }
  return 0;
}

int VELListValVELUnicodeString::RemovePosition(int position) {
  if (position < 1 || position > Size())
    return 0;
  _items.erase(_items.begin() + (position - 1));
  return 1;
}
