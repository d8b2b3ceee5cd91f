// Built twice by the compile-fail check: as it stands it must compile; with SLIP defined the
// everyday `find` slip (a pointer where a value was meant) must be rejected.
#include "platform/flutter/EncodableValue.h"

int main() {
  const EncodableMap map{{"a", EncodableValue(false)}};
#ifdef SLIP
  EncodableValue value = map.find("a");
#else
  EncodableValue value = *map.find("a");
#endif
  return value.asBool().value_or(true) ? 1 : 0;
}
