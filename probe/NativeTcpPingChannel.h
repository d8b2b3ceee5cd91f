// The TCP ping channel: "tcpPing" with host, port and an optional timeoutMs (5000 without one)
// answers the probe's milliseconds, -1 when no connection was made.
//
// Main thread. Argument faults are answered before the handler returns ("BAD_ARGS"); each probe
// runs as its own task on a global queue and is answered on the main queue.
#pragma once

#include "platform/flutter/FlutterChannels.h"

namespace probe {

void handleNativeTcpPingCall(const FlutterMethodCall& call, FlutterResult result);

}  // namespace probe
