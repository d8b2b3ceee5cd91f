// A script and everything it starts end together: when told to, and when the process that ran it
// dies without a word (SIGKILL); with administrator privileges too, where the privileged helper
// runs it as another user than root and pkexec is the host's own child.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
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

// Each test runs a plain script and, as root, one with administrator privileges through a pkexec
// stand-in that starts the real privileged helper as pkexec would once the user has approved.
class ScriptContainment : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "the privileged helper runs only as root, as pkexec starts it";
    // The helper runs the command as this user, who must reach the test's folder.
    ::chmod(dir_.path().c_str(), 0777);
    const std::string pkexec = dir_.file("pkexec");
    std::ofstream(pkexec) << "#!/bin/sh\nPKEXEC_UID=65534 exec \"$@\"\n";
    ::chmod(pkexec.c_str(), 0755);
    NSAppleScript::setAdministratorEnvironmentForTesting(NSAppleScriptAdministratorEnvironment{
        NSAppleScriptAdministratorEnvironment::FixedAnswer::none, "", false, pkexec});
  }
  void TearDown() override { NSAppleScript::setAdministratorEnvironmentForTesting(std::nullopt); }

  std::unique_ptr<NSAppleScript> sleeperScript() {
    std::string source = backgroundSleeper(dir_.file("pid"));
    if (GetParam()) source += " with administrator privileges";
    return NSAppleScript::initWithSource(source);
  }

  testing_support::TempDir dir_;
};

TEST_P(ScriptContainment, TerminatingRunningScriptsEndsThemWithWhatTheyStarted) {
  auto script = sleeperScript();
  ASSERT_TRUE(script);
  std::optional<NSDictionary> error;
  auto started = std::chrono::steady_clock::now();
  std::thread runner([&] { script->executeAndReturnError(&error); });
  pid_t sleeper = waitForPid(dir_.file("pid"));
  NSAppleScript::terminateRunningScripts();
  runner.join();
  ASSERT_GT(sleeper, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  ASSERT_TRUE(error);
  EXPECT_TRUE(endsWithin(sleeper, 5s));
}

TEST_P(ScriptContainment, AScriptDiesWithAProcessKilledWhileItRuns) {
  auto script = sleeperScript();
  ASSERT_TRUE(script);
  pid_t host = ::fork();
  if (host == 0) {
    script->executeAndReturnError(nullptr);
    _exit(0);
  }
  ASSERT_GT(host, 0);
  pid_t sleeper = waitForPid(dir_.file("pid"));
  ::kill(host, SIGKILL);
  ::waitpid(host, nullptr, 0);
  ASSERT_GT(sleeper, 0);
  EXPECT_TRUE(endsWithin(sleeper, 5s));
}

INSTANTIATE_TEST_SUITE_P(PlainAndAdministrator, ScriptContainment, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Administrator" : "Plain"; });

}  // namespace
