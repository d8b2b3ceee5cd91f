// The standard codec against whatever a peer might send: decoding must never crash, read out of
// bounds or recurse without limit, and what it accepts must re-encode stably.
#include <cstdint>
#include <cstdlib>

#include "platform/flutter/FlutterCodecs.h"

namespace {

// The first re-encoding may normalise (an int64 that fits becomes int32, a large integer's text
// becomes a string); after that, decode and encode must agree byte for byte.
template <typename Decode, typename Encode>
void checkStable(ByteSpan input, Decode decode, Encode encode) {
  auto first = decode(input);
  if (!first) return;
  const std::vector<uint8_t> once = encode(*first);
  auto second = decode(ByteSpan(once));
  if (!second) std::abort();  // the codec refused its own output
  if (encode(*second) != once) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteSpan input(data, size);
  const auto& message = StandardMessageCodec::getInstance();
  const auto& method = StandardMethodCodec::getInstance();

  checkStable(
      input, [&](ByteSpan b) { return message.decodeMessage(b); },
      [&](const EncodableValue& v) { return message.encodeMessage(v); });
  checkStable(
      input, [&](ByteSpan b) { return method.decodeMethodCall(b); },
      [&](const FlutterMethodCall& c) { return method.encodeMethodCall(c); });
  checkStable(
      input, [&](ByteSpan b) { return method.decodeEnvelope(b); },
      [&](const MethodEnvelope& e) {
        if (const auto* v = std::get_if<EncodableValue>(&e)) return method.encodeSuccessEnvelope(*v);
        return method.encodeErrorEnvelope(std::get<FlutterError>(e));
      });
  return 0;
}
