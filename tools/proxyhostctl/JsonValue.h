// JSON <-> channel values for proxyhostctl, matching what the Dart side sends and how a script
// wants to read the answer.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/flutter/EncodableValue.h"
#include "platform/posix/Expected.h"

namespace proxyhostctl {

// Object keys keep the order they were written in, both ways.
using Json = nlohmann::ordered_json;

// Parses JSON text straight into a channel value. Integers become int32 when they fit, else int64,
// as the Dart side sends them; integers beyond int64 and all fractions become float64; arrays
// lists, objects maps with string keys (a repeated key keeps its first place and its last value).
// Text that is not JSON, nests arrays and objects deeper than the codec decodes
// (StandardMessageCodec::kMaxNesting), or holds a number beyond float64 gives an error saying why;
// nothing recurses on the input, so no text can exhaust the stack.
posix::Expected<EncodableValue> parseJson(std::string_view text);

// Typed lists become arrays; a map key that is not a string becomes its own JSON text; a float
// that JSON cannot hold (NaN, infinity) becomes null.
Json toJson(const EncodableValue& value);

// One line of JSON; text that is not valid UTF-8 is repaired rather than refused.
std::string dumpLine(const Json& json);

}  // namespace proxyhostctl
