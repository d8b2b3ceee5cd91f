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
    // A refusal is only logged: the Flutter side reads the resulting state with
    // launchAtStartupIsEnabled, and an error here would break a caller written for that.
    setIsEnabled(*enabled);
    result(EncodableValue());
    return;
  }
  result(FlutterMethodNotImplemented);
}
