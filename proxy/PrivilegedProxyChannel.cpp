#include "proxy/PrivilegedProxyChannel.h"

#include <optional>
#include <string>
#include <vector>

#include "proxy/PrivilegedRunQueue.h"
#include "proxy/ProxyScriptBuilder.h"

namespace {

// No command line can carry a NUL: a text holding one would reach networksetup cut short, so it
// is as wrong as a missing one.
bool isCarriedWhole(const std::string& text) { return text.find('\0') == std::string::npos; }

std::optional<std::vector<std::string>> stringList(const EncodableValue* value) {
  const EncodableList* list = value != nullptr ? value->asList() : nullptr;
  if (list == nullptr) return std::nullopt;
  std::vector<std::string> strings;
  strings.reserve(list->size());
  for (const auto& element : *list) {
    const std::string* s = element.asString();
    if (s == nullptr || !isCarriedWhole(*s)) return std::nullopt;
    strings.push_back(*s);
  }
  return strings;
}

FlutterError badArgs(const char* message) { return FlutterError{"bad_args", std::string(message), {}}; }

}  // namespace

void proxy::handlePrivilegedProxyCall(const FlutterMethodCall& call, FlutterResult result) {
  // "services" is checked before the method name, so even a method this channel does not serve is
  // told about a missing list first.
  const EncodableMap* args = stringKeyedArguments(call.arguments);
  std::optional<std::vector<std::string>> services =
      args != nullptr ? stringList(args->find("services")) : std::nullopt;
  if (!services || services->empty()) {
    result(badArgs("services missing or empty"));
    return;
  }

  PrivilegedRun run;
  run.services = *services;
  if (call.method == "setProxyElevated") {
    const EncodableValue* hostValue = args->find("host");
    const std::string* host = hostValue != nullptr ? hostValue->asString() : nullptr;
    if (host != nullptr && !isCarriedWhole(*host)) host = nullptr;
    const EncodableValue* portValue = host != nullptr ? args->find("port") : nullptr;
    std::optional<int64_t> port = portValue != nullptr ? portValue->asInteger() : std::nullopt;
    const EncodableValue* socksValue = port ? args->find("socks") : nullptr;
    std::optional<int64_t> socks = socksValue != nullptr ? socksValue->asInteger() : std::nullopt;
    std::optional<std::vector<std::string>> bypass = socks ? stringList(args->find("bypass")) : std::nullopt;
    if (!bypass) {
      result(badArgs("host/port/socks/bypass missing"));
      return;
    }
    run.kind = PrivilegedRun::Kind::enable;
    run.script = buildEnableProxyScript(*services, *host, *port, *socks, *bypass);
    run.host = *host;
    run.port = *port;
    run.socks = *socks;
  } else if (call.method == "disableProxyElevated") {
    run.kind = PrivilegedRun::Kind::disable;
    run.script = buildDisableProxyScript(*services);
  } else {
    result(FlutterMethodNotImplemented);
    return;
  }

  // One run at a time in arrival order, off the main thread, answered on the main queue.
  PrivilegedRunQueue::shared().submit(std::move(run), std::move(result));
}
