// The privileged proxy channel: switching the system proxy of chosen network services with
// administrator rights, as the Flutter side asks.
#pragma once

#include "platform/flutter/FlutterChannels.h"

namespace proxy {

// Serves "setProxyElevated" (services, host, port, socks, bypass) and "disableProxyElevated"
// (services). Main thread: argument faults are answered at once ("bad_args"); the run goes to
// PrivilegedRunQueue::shared() and is answered on the main queue, true or the error "cancelled" or
// "failed".
void handlePrivilegedProxyCall(const FlutterMethodCall& call, FlutterResult result);

}  // namespace proxy
