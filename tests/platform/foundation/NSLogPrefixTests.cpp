// The ids in NSLog's prefix are asked once, not per line; a forked child must still print its own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/foundation/NSLog.h"
#include "tests/platform/foundation/StderrToFile.h"

namespace {

// Runs `log` in a forked child whose standard error is a pipe; what the child wrote.
std::string childStderr(void (*log)()) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDERR_FILENO);
    log();
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return text + "|child=" + std::to_string(pid);
}

TEST(NSLogPrefix, AForkedChildPrintsItsOwnProcessAndThreadIds) {
  // The parent's ids are in the cache before the fork (a captured line takes no prefix, so the
  // line goes to standard error, here the null device).
  {
    StderrToFile quiet("/dev/null");
    NSLog("parent line");
  }

  std::string out = childStderr([] { NSLog("from the child"); });
  const std::string child = out.substr(out.rfind("|child=") + 7);
  EXPECT_NE(out.find("[" + child + ":" + child + "] from the child\n"), std::string::npos) << out;
}

}  // namespace
