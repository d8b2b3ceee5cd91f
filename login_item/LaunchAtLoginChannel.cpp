#include "login_item/LaunchAtLogin.h"

// The login item service is not built yet: the channel exists and answers "not implemented".
void LaunchAtLogin::handleLaunchAtStartupCall(const FlutterMethodCall& call, FlutterResult result) {
  result(FlutterMethodNotImplemented);
}
