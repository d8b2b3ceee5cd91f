#include "app/MainFlutterWindow.h"

// System proxy control is not built yet: the channel exists and answers "not implemented".
void MainFlutterWindow::handlePrivilegedProxyCall(const FlutterMethodCall& call, FlutterResult result) {
  result(FlutterMethodNotImplemented);
}
