// The product's launchers as processes: proxyhost-shell gives a shell the macOS tools of the build, as
// root and as an ordinary user; proxyhost-admin runs a command only when pkexec started it, as the
// user pkexec names with nothing of root's rights left and nothing of its caller's environment, and
// refuses everything else without running anything.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/posix/UniqueFd.h"
#include "tests/support/TestSupport.h"
#include "tests/tools/ToolProcess.h"

namespace {

using testing_support::TempDir;
using namespace std::chrono_literals;
using tools_testing::runTool;
using tools_testing::ToolOptions;
using tools_testing::ToolProcess;
using tools_testing::ToolResult;

const std::string kBin = PROXYHOST_BIN_DIR;
const std::string kShell = kBin + "/proxyhost-shell";
const std::string kAdmin = kBin + "/proxyhost-admin";

// What a command sees of the macOS tools: where networksetup leads and what base64 -D makes of a text.
const std::string kLook = "readlink /usr/sbin/networksetup; echo cHJveHlob3N0 | /usr/bin/base64 -D; echo; id -u";

TEST(ProxyhostShell, TheShellSeesTheProductsToolsAsRootAndAsAUser) {
  const ToolResult asThisUser = runTool({kShell, "-c", kLook});
  EXPECT_EQ(asThisUser.exitCode(), 0) << asThisUser.standardError;
  EXPECT_EQ(asThisUser.standardOutput, kBin + "/networksetup\nproxyhost\n" + std::to_string(geteuid()) + "\n");
  if (geteuid() != 0) return;
  ToolOptions nobody;
  nobody.user = 65534;
  const ToolResult asNobody = runTool({kShell, "-c", kLook}, nobody);
  EXPECT_EQ(asNobody.exitCode(), 0) << asNobody.standardError;
  EXPECT_EQ(asNobody.standardOutput, kBin + "/networksetup\nproxyhost\n65534\n");
  // Outside, the machine is as it was.
  EXPECT_FALSE(std::filesystem::exists("/usr/sbin/networksetup"));
}

TEST(ProxyhostShell, PassesTheShellsStatusAndArgumentsThrough) {
  const ToolResult result = runTool({kShell, "-c", "echo \"$0:$1\" >&2; exit 7", "name", "one"});
  EXPECT_EQ(result.exitCode(), 7);
  EXPECT_EQ(result.standardError, "name:one\n");
}

class ProxyhostAdmin : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the privileged helper is root's";
    // The command runs as the user the helper becomes.
    ::chmod(dir_.path().c_str(), 0777);
  }
  // Runs the helper with `command` on its standard input; `mark` shows whether anything ran.
  ToolResult admin(std::vector<std::string> args, const std::string& command, tools_testing::Environment env = {},
                   std::optional<uid_t> user = std::nullopt) {
    ToolOptions options;
    options.environment = std::move(env);
    options.input = command.empty() ? "" : "touch " + dir_.file("ran") + "; " + command;
    options.user = user;
    args.insert(args.begin(), kAdmin);
    return runTool(args, options);
  }
  bool ran() const { return std::filesystem::exists(dir_.file("ran")); }

  TempDir dir_;
};

TEST_F(ProxyhostAdmin, RunsTheCommandAsTheUserPkexecNamesInTheToolViewWithNoneOfTheCallersEnvironment) {
  const ToolResult result = admin(
      {"#marker-1"},
      kLook +
          "; id -G; echo \"${SECRET-unset} $HOME $USER $PKEXEC_UID $PATH\"; "
          "grep -E '^(Cap(Inh|Prm|Eff|Bnd|Amb)|NoNewPrivs):' /proc/self/status | tr -d '\\t'; echo oops >&2; exit 3",
      {{"PKEXEC_UID", "65534"}, {"SECRET", "leaked"}, {"HOME", "/nowhere"}});
  EXPECT_EQ(result.exitCode(), 3);
  const passwd* nobody = ::getpwuid(65534);
  ASSERT_NE(nobody, nullptr);
  EXPECT_EQ(result.standardOutput, kBin + "/networksetup\nproxyhost\n65534\n" + std::to_string(nobody->pw_gid) +
                                       "\nunset " + nobody->pw_dir + " " + nobody->pw_name +
                                       " 65534 /usr/sbin:/usr/bin:/sbin:/bin\n"
                                       "CapInh:0000000000000000\nCapPrm:0000000000000000\nCapEff:0000000000000000\n"
                                       "CapBnd:0000000000000000\nCapAmb:0000000000000000\nNoNewPrivs:1\n");
  // The command's own error first, then the marker with its status as the helper's last line.
  EXPECT_EQ(result.standardError, "oops\n#marker-1 3\n");
}

TEST_F(ProxyhostAdmin, RefusesToRunWithoutPkexecOrACommand) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string command;
    tools_testing::Environment env;
    std::optional<uid_t> user;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"started by hand as root", {"#m"}, "true", {{"PKEXEC_UID", std::nullopt}}, {}, "only pkexec may start it"},
      {"started by hand as a user", {"#m"}, "true", {{"PKEXEC_UID", "65534"}}, 65534, "only pkexec may start it"},
      {"a PKEXEC_UID that is no uid", {"#m"}, "true", {{"PKEXEC_UID", "0; rm -rf /"}}, {}, "only pkexec may start it"},
      {"no command", {"#m"}, "", {{"PKEXEC_UID", "1000"}}, {}, "no command was given on standard input"},
      {"no marker", {}, "true", {{"PKEXEC_UID", "1000"}}, {}, "usage: pkexec proxyhost-admin MARKER"},
      {"a marker with a blank", {"# m"}, "true", {{"PKEXEC_UID", "1000"}}, {}, "usage: pkexec proxyhost-admin MARKER"},
      {"a NUL in the command",
       {"#m"},
       std::string("true\0; touch /tmp/x", 19),
       {{"PKEXEC_UID", "65534"}},
       {},
       "the command holds a NUL byte"},
  };
  for (const auto& c : cases) {
    const ToolResult result = admin(c.args, c.command, c.env, c.user);
    EXPECT_EQ(result.exitCode(), 2) << c.what;
    EXPECT_NE(result.standardError.find(c.says), std::string::npos) << c.what << ": " << result.standardError;
    EXPECT_NE(result.standardError.find("nothing was run"), std::string::npos) << c.what;
    EXPECT_FALSE(ran()) << c.what;
  }
}

// The host gives the helper its command on a socket and keeps its end for as long as the run may go
// on: a command whose caller is gone before it could run is refused, and the caller's end shut
// down, or the helper stopped, ends the whole run, what the shell started included.
TEST_F(ProxyhostAdmin, EndsWithItsCallerAndRefusesACommandItsCallerLeftBehind) {
  const std::string pidFile = dir_.file("pid");
  const std::string sleeper = "sleep 60 & echo $! > " + pidFile + "; wait";
  enum class End { callerGoneFirst, callerShutsDown, helperStopped };
  for (End end : {End::callerGoneFirst, End::callerShutsDown, End::helperStopped}) {
    std::filesystem::remove(dir_.file("ran"));
    std::filesystem::remove(pidFile);
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    posix::UniqueFd callers(ends[0]), helpers(ends[1]);
    const std::string command = "touch " + dir_.file("ran") + "; " + sleeper;
    ASSERT_TRUE(posix::writeAll(callers.get(), command));
    ::shutdown(callers.get(), SHUT_WR);
    if (end == End::callerGoneFirst) callers.reset();
    ToolOptions options;
    options.environment = {{"PKEXEC_UID", "65534"}};
    options.standardInput = helpers.get();
    ToolProcess helper({kAdmin, "#m"}, options);
    helpers.reset();
    if (end == End::callerGoneFirst) {
      const auto result = helper.finish();
      ASSERT_TRUE(result);
      EXPECT_EQ(result->exitCode(), 2);
      EXPECT_NE(result->standardError.find("the proxy client that asked for this command has gone"), std::string::npos)
          << result->standardError;
      EXPECT_FALSE(ran());
      continue;
    }
    pid_t child = 0;
    ASSERT_TRUE(testing_support::eventually([&] { return (std::ifstream(pidFile) >> child) && child > 0; }, 10s));
    if (end == End::callerShutsDown) {
      ::shutdown(callers.get(), SHUT_RDWR);
    } else {
      ::kill(helper.pid(), SIGTERM);
    }
    const auto result = helper.finish();
    ASSERT_TRUE(result);
    EXPECT_NE(result->exitCode(), 0);
    EXPECT_TRUE(testing_support::eventually([&] { return ::kill(child, 0) != 0; }, 10s))
        << "the shell's own child outlived the run";
    ::kill(child, SIGKILL);
  }
}

}  // namespace
