// Launch at login: whether the application starts when the user logs in.
#pragma once

#include "app/FlutterChannelContract.h"

namespace LaunchAtLogin {

// Serves the "launch_at_startup" channel.
void handleLaunchAtStartupCall(const FlutterMethodCall& call, FlutterResult result);

}  // namespace LaunchAtLogin
