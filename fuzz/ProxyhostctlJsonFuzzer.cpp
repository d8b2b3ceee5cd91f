// proxyhostctl's ARGS_JSON against any text a person or script might pass: parsing must never
// crash or recurse without limit, what it accepts must be a value the host's codec decodes as it
// was sent, and the printed form must read back as the same value.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/flutter/FlutterCodecs.h"
#include "tools/proxyhostctl/JsonValue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto value = proxyhostctl::parseJson(text);
  if (!value) {
    if (value.error().message().empty()) std::abort();  // a refusal must say why
    return 0;
  }
  const auto& method = StandardMethodCodec::getInstance();
  auto call = method.decodeMethodCall(method.encodeMethodCall({"m", *value}));
  if (!call || !(call->arguments == *value)) std::abort();

  auto again = proxyhostctl::parseJson(proxyhostctl::dumpLine(proxyhostctl::toJson(*value)));
  if (!again || !(*again == *value)) std::abort();
  return 0;
}
