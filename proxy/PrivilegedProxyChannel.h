// The privileged proxy channel: the Flutter side switches the system proxy of chosen network
// services on ("setProxyElevated": services, host, port, socks, bypass) or off
// ("disableProxyElevated": services), with administrator rights.
//
// Main thread. Argument faults are answered before the handler returns ("bad_args"); a script run
// goes to a global queue, one task per call, and is answered on the main queue: true, or the
// error "cancelled" or "failed".
#pragma once

#include "platform/flutter/FlutterChannels.h"

namespace proxy {

void handlePrivilegedProxyCall(const FlutterMethodCall& call, FlutterResult result);

}  // namespace proxy
