// A script and everything it starts end together: when told to, and when the process that ran it
// dies without a word (SIGKILL).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "platform/scripting/NSAppleScript.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

// A script that starts a long sleep in the background, notes its pid and waits for it.
std::string backgroundSleeper(const std::string& pidFile) {
  return "do shell script \"sleep 30 & echo $! > " + pidFile + "; wait\"";
}

pid_t waitForPid(const std::string& pidFile) {
  pid_t pid = 0;
  testing_support::eventually([&] { return (std::ifstream(pidFile) >> pid) && pid > 0; }, 10s);
  return pid;
}

bool endsWithin(pid_t pid, std::chrono::milliseconds timeout) {
  return testing_support::eventually(
      [&] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) return true;
        auto state = line.substr(line.rfind(')') + 2, 1);
        return state == "Z" || state == "X";
      },
      timeout);
}

TEST(ScriptContainment, TerminatingRunningScriptsEndsThemWithWhatTheyStarted) {
  testing_support::TempDir dir;
  auto script = NSAppleScript::initWithSource(backgroundSleeper(dir.file("pid")));
  ASSERT_TRUE(script);
  std::optional<NSDictionary> error;
  auto started = std::chrono::steady_clock::now();
  std::thread runner([&] { script->executeAndReturnError(&error); });
  pid_t sleeper = waitForPid(dir.file("pid"));
  ASSERT_GT(sleeper, 0);
  NSAppleScript::terminateRunningScripts();
  runner.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  ASSERT_TRUE(error);
  EXPECT_TRUE(endsWithin(sleeper, 5s));
}

TEST(ScriptContainment, AScriptDiesWithAProcessKilledWhileItRuns) {
  testing_support::TempDir dir;
  const std::string pidFile = dir.file("pid");
  pid_t host = ::fork();
  if (host == 0) {
    auto script = NSAppleScript::initWithSource(backgroundSleeper(pidFile));
    if (script) script->executeAndReturnError(nullptr);
    _exit(0);
  }
  ASSERT_GT(host, 0);
  pid_t sleeper = waitForPid(pidFile);
  ::kill(host, SIGKILL);
  ::waitpid(host, nullptr, 0);
  ASSERT_GT(sleeper, 0);
  EXPECT_TRUE(endsWithin(sleeper, 5s));
}

}  // namespace
