#include <cstdlib>

#include "platform/appkit/NSApplication.h"
#include "shutdown/ShutdownHandler.h"

int main(int argc, char* argv[]) {
  // Before the engine link is served: proxies an earlier run left on (power loss, the host and
  // its guard both killed) are switched off before the client can ask anything.
  ShutdownHandler::shared().recoverLeftoverProxies();
  exit(NSApplicationMain(argc, argv));
}
