// NSTask, NSPipe and NSFileHandle against real child processes, and the bounded run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/foundation/NSTask.h"
#include "tests/platform/foundation/StderrToFile.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

TEST(TaskRun, TenMBAreReadWholeWhateverTheOrderOfWaitAndRead) {
  for (bool waitFirst : {true, false}) {
    NSTask task;
    NSPipe pipe;
    task.setLaunchPath("/bin/sh");
    task.setArguments({"-c", "head -c 10485760 /dev/urandom | tr -d '\\000' | head -c 10000000; printf END"});
    task.setStandardOutput(pipe);
    task.setStandardError(NSFileHandle::fileHandleWithNullDevice());
    std::optional<NSError> error;
    ASSERT_TRUE(task.launchAndReturnError(&error));
    std::string data;
    if (waitFirst) {
      task.waitUntilExit();
      data = pipe.fileHandleForReading().readDataToEndOfFile();
    } else {
      data = pipe.fileHandleForReading().readDataToEndOfFile();
      task.waitUntilExit();
    }
    EXPECT_EQ(data.size(), 10000003u) << "waitFirst " << waitFirst;
    EXPECT_EQ(data.substr(data.size() - 3), "END");
    EXPECT_EQ(task.terminationStatus(), 0);
  }
}

TEST(TaskRun, AFailedStartIsAValueWithAnError) {
  for (std::string path : {"/no/such/tool", "relative/tool", "/etc/hostname"}) {
    NSTask task;
    task.setLaunchPath(path);
    std::optional<NSError> error;
    EXPECT_FALSE(task.launchAndReturnError(&error)) << path;
    ASSERT_TRUE(error.has_value()) << path;
    EXPECT_FALSE(error->localizedDescription().empty());
    task.waitUntilExit();  // returns at once
  }
}

TEST(TaskRun, TheChildGetsOnlyItsThreeStreamsAndStandardErrorIsDiscarded) {
  int stray = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC: must not leak anyway
  NSTask task;
  NSPipe pipe;
  task.setLaunchPath("/bin/sh");
  task.setArguments({"-c", "echo noise >&2; ls /proc/self/fd | sort -n | tr '\\n' ' '"});
  task.setStandardOutput(pipe);
  std::optional<NSError> error;
  ASSERT_TRUE(task.launchAndReturnError(&error));
  task.waitUntilExit();
  ::close(stray);
  // ls itself holds one more: the directory it reads.
  EXPECT_EQ(pipe.fileHandleForReading().readDataToEndOfFile(), "0 1 2 3 ");
}

TEST(TaskRun, GivenThisProcesssStandardErrorTheChildWritesWhereThisProcessWrites) {
  testing_support::TempDir dir;
  const std::string file = dir.file("stderr.txt");
  {
    StderrToFile redirect(file);
    for (bool inherit : {false, true}) {
      NSTask task;
      task.setLaunchPath("/bin/sh");
      task.setArguments({"-c", inherit ? "echo kept >&2" : "echo dropped >&2"});
      if (inherit) task.setStandardError(NSFileHandle::fileHandleWithStandardError());
      ASSERT_TRUE(task.launchAndReturnError(nullptr));
      task.waitUntilExit();
    }
  }
  EXPECT_EQ(testing_support::readFile(file), "kept\n");
}

TEST(TaskRun, SeparatePipesForOutputAndErrorEachGetTheirStream) {
  NSTask task;
  NSPipe out, err;
  task.setLaunchPath("/bin/sh");
  task.setArguments({"-c", "printf out; printf err >&2; exit 7"});
  task.setStandardOutput(out);
  task.setStandardError(err);
  ASSERT_TRUE(task.launchAndReturnError(nullptr));
  task.waitUntilExit();
  EXPECT_EQ(out.fileHandleForReading().readDataToEndOfFile(), "out");
  EXPECT_EQ(err.fileHandleForReading().readDataToEndOfFile(), "err");
  EXPECT_EQ(task.terminationStatus(), 7);
}

TEST(TaskRunWithTimeLimit, AHungChildIsKilledAtTheLimitAndAQuickOneKeepsItsStatus) {
  NSTask hung;
  hung.setLaunchPath("/bin/sleep");
  hung.setArguments({"60"});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(runTaskWithTimeLimit(hung, 200ms, nullptr));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, 10s);
  EXPECT_FALSE(hung.isRunning());
  EXPECT_EQ(hung.terminationStatus(), 128 + SIGKILL);

  NSTask quick;
  NSPipe out;
  quick.setLaunchPath("/bin/sh");
  quick.setArguments({"-c", "printf done; exit 3"});
  quick.setStandardOutput(out);
  EXPECT_TRUE(runTaskWithTimeLimit(quick, 10s, nullptr));
  EXPECT_EQ(quick.terminationStatus(), 3);
  EXPECT_EQ(out.fileHandleForReading().readDataToEndOfFile(), "done");

  NSTask missing;
  missing.setLaunchPath("/no/such/tool");
  std::optional<NSError> error;
  EXPECT_FALSE(runTaskWithTimeLimit(missing, 10s, &error));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code(), NSFileNoSuchFileError);
}

}  // namespace
