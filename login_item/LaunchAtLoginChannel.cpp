#include "login_item/LaunchAtLogin.h"

void LaunchAtLogin::handleLaunchAtStartupCall(const FlutterMethodCall& call, FlutterResult result) {
  if (call.method == "launchAtStartupIsEnabled") {
    result(EncodableValue(isEnabled()));
    return;
  }
  if (call.method == "launchAtStartupSetEnabled") {
    const EncodableMap* arguments = stringKeyedArguments(call.arguments);
    if (arguments == nullptr) {
      result(EncodableValue());
      return;
    }
    const EncodableValue* value = arguments->find("setEnabledValue");
    std::optional<bool> enabled = value != nullptr ? value->asBool() : std::nullopt;
    if (!enabled) {
      // Nothing changed; saying so keeps the caller from taking silence for success.
      result(FlutterError{"BAD_ARGS", "setEnabledValue must be a Boolean", {}});
      return;
    }
    if (std::optional<std::string> failure = setIsEnabledAndConfirm(*enabled)) {
      // A write that did not take must not read as done: the Flutter side would show a state
      // that is not the system's.
      result(FlutterError{"FAILED", std::move(*failure), {}});
      return;
    }
    result(EncodableValue());
    return;
  }
  result(FlutterMethodNotImplemented);
}
