// The host with its launching held: when launching is about to finish, it creates the file that
// PROXYHOST_TEST_HOLD_LAUNCH names and waits until the file is gone. A test can then signal a
// host that is certainly not yet past the end of launching.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/appkit/NSApplication.h"
#include "shutdown/ShutdownHandler.h"

int main(int argc, char* argv[]) {
  static int holder;
  const char* gate = std::getenv("PROXYHOST_TEST_HOLD_LAUNCH");
  if (gate != nullptr && *gate != '\0') {
    // Will-finish comes before the did-finish hook that arms the shutdown cleanup.
    NSNotificationCenter::defaultCenter().addObserver(
        &holder,
        [path = std::string(gate)](const NSNotification&) {
          int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
          if (fd >= 0) ::close(fd);
          while (::access(path.c_str(), F_OK) == 0) ::usleep(5000);
        },
        NSApplicationWillFinishLaunchingNotification);
  }
  ShutdownHandler::shared().recoverLeftoverProxies();
  exit(NSApplicationMain(argc, argv));
}
