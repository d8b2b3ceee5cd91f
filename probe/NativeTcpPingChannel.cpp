#include "app/MainFlutterWindow.h"

// The latency probe is not built yet: the channel exists and answers "not implemented".
void MainFlutterWindow::handleNativeTcpPingCall(const FlutterMethodCall& call, FlutterResult result) {
  result(FlutterMethodNotImplemented);
}
