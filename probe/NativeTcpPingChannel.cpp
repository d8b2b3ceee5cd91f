#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "probe/NativeTcpPing.h"

namespace {

constexpr int64_t kDefaultTimeoutMs = 5000;

// One answer for every argument fault, so it never tells which argument was wrong.
FlutterError badArgs() { return FlutterError{"BAD_ARGS", std::string("host/port missing"), {}}; }

}  // namespace

void NativeTcpPing::handleNativeTcpPingCall(const FlutterMethodCall& call, FlutterResult result) {
  if (call.method != "tcpPing") {
    result(FlutterMethodNotImplemented);
    return;
  }
  const EncodableMap* args = stringKeyedArguments(call.arguments);
  if (args == nullptr) {
    result(badArgs());
    return;
  }
  const EncodableValue* hostValue = args->find("host");
  const std::string* host = hostValue != nullptr ? hostValue->asString() : nullptr;
  // The resolver reads the host up to a NUL: one inside would probe another host.
  if (host == nullptr || host->empty() || host->find('\0') != std::string::npos) {
    result(badArgs());
    return;
  }
  const EncodableValue* portValue = args->find("port");
  const std::optional<int64_t> port = portValue != nullptr ? portValue->asInteger() : std::nullopt;
  // A port that does not fit the probe's 32 bits cannot be narrowed faithfully: it is as wrong as
  // a missing one.
  if (!port || *port < std::numeric_limits<int32_t>::min() || *port > std::numeric_limits<int32_t>::max()) {
    result(badArgs());
    return;
  }
  const EncodableValue* timeoutValue = args->find("timeoutMs");
  const int64_t timeoutMs =
      timeoutValue != nullptr ? timeoutValue->asInteger().value_or(kDefaultTimeoutMs) : kDefaultTimeoutMs;

  // The probe blocks for seconds; each call gets its own task, never queued behind another.
  DispatchQueue::global(DispatchQoS::userInitiated)
      .async([host = *host, port = *port, timeoutMs, result = std::move(result)]() mutable {
        const int64_t milliseconds = tcpPingBoundToPhysical(host, static_cast<int32_t>(port), timeoutMs);
        DispatchQueue::main().async(
            [milliseconds, result = std::move(result)] { result(EncodableValue::integer(milliseconds)); });
      });
}
