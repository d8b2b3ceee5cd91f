// What a channel handler of this application sees of the Flutter side: the method call, the
// result callback it must call exactly once, errors and the not-implemented marker.
#pragma once

#include <string>

#include "platform/flutter/FlutterChannels.h"

// Every handler that reads arguments expects a dictionary from string keys to values and treats
// anything else, a map with a key of another type included, as if the arguments were missing.
inline const EncodableMap* stringKeyedArguments(const EncodableValue& arguments) {
  const EncodableMap* map = arguments.asMap();
  if (map == nullptr) return nullptr;
  for (const auto& [key, value] : *map) {
    if (!key.is<std::string>()) return nullptr;
  }
  return map;
}
