// Ends a private system whose test process died without its teardown (a crash, a timeout's kill).
//
//   private_system_reaper TEST_PID UID MOUNT_NAMESPACE
//
// Leaves the test's process tree at once (a test runner that kills the tree on a timeout must not
// take the reaper with it), waits for TEST_PID to end, then kills every process of UID or of the
// namespace. A normal teardown kills the reaper with the rest of the world.
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/system/ProcessSweep.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: private_system_reaper TEST_PID UID MOUNT_NAMESPACE\n");
    return 2;
  }
  const pid_t test = static_cast<pid_t>(std::stol(argv[1]));
  const system_testing::WorldMarks marks{static_cast<uid_t>(std::stoul(argv[2])), argv[3]};
  // Watch first, so a test that dies from here on is seen; ESRCH means it is gone already.
  const int watch = static_cast<int>(::syscall(SYS_pidfd_open, test, 0));
  if (::setsid() < 0 || ::fork() != 0) _exit(0);
  // The test reads our first output streams to their end; only the detached reaper stays.
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int stream = 0; stream < 3; ++stream) ::dup2(null, stream);
  if (watch >= 0) {
    pollfd ended = {watch, POLLIN, 0};
    while (::poll(&ended, 1, -1) != 1) {
    }
  }
  return system_testing::killWorld(marks, ::getpid()) ? 0 : 1;
}
