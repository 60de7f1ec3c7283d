#include "host/VELString.h"

VELString::VELString(const char* text) {
  if (text)
    _text = text;
}

VELString::VELString(const char* bytes, int length) {
  if (bytes && length > 0)
    _text.assign(bytes, static_cast<size_t>(length));
}
