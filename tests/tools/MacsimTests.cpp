// macsim: the stand-ins at the macOS paths, base64 -D, the command's status, process id and signals,
// the state folder, and a host that sees nothing of it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "tests/support/TestSupport.h"
#include "tests/tools/ToolProcess.h"
#include "tools/macsim/MacSim.h"
#include "tools/networksetup/RunLog.h"

namespace {

using testing_support::TempDir;
using tools_testing::runTool;
using tools_testing::ToolOptions;
using tools_testing::ToolProcess;
using tools_testing::ToolResult;
using tools_testing::withEnvironment;
using tools_testing::withInput;
using Args = std::vector<std::string>;

const std::string kMacsim = MACSIM_BIN;
const std::string kFreshListing =
    "An asterisk (*) denotes that a network service is disabled.\nWi-Fi\nEthernet\nThunderbolt Bridge\n*Bluetooth "
    "PAN\n";

Args underMacsim(const std::string& state, Args command) {
  command.insert(command.begin(), {kMacsim, "--simulated", "--state", state, "--"});
  return command;
}

std::set<std::string> folderEntries(const char* path) {
  std::set<std::string> names;
  if (DIR* dir = opendir(path)) {
    while (dirent* entry = readdir(dir)) names.insert(entry->d_name);
    closedir(dir);
  }
  return names;
}

std::string firstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

TEST(Macsim, RunsTheStandInAtTheMacOSPathWithItsStateFolder) {
  TempDir dir;
  const ToolResult result = runTool(underMacsim(dir.path(), {"/usr/sbin/networksetup", "-listallnetworkservices"}));
  EXPECT_EQ(result.exitCode(), 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, kFreshListing);
  EXPECT_EQ(networksetup::readRunLog(dir.path()),
            (std::vector<Args>{{"/usr/sbin/networksetup", "-listallnetworkservices"}}));
  EXPECT_EQ(runTool(underMacsim(dir.path(), {"/usr/bin/printenv", "NETWORKSETUP_STATE_DIR"})).standardOutput,
            dir.path() + "\n");
}

// A test run of the host under macsim may itself run under macsim: the inner one lays its own stand-in
// and state folder and leaves base64 as the outer one laid it. `timeout` bounds a wrapper that would
// exec itself.
Args nestedLook(const TempDir& dir) {
  return underMacsim(
      dir.file("outer"),
      underMacsim(dir.file("inner"), {"/usr/bin/timeout", "10", "/bin/sh", "-c",
                                      "/usr/bin/base64 -D; echo; /usr/sbin/networksetup -listallnetworkservices"}));
}

TEST(Macsim, NestsInsideAnotherMacsimWithItsOwnStateFolder) {
  TempDir dir;
  const ToolResult result = runTool(nestedLook(dir), withInput("aGk="));
  EXPECT_EQ(result.exitCode(), 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "hi\n" + kFreshListing);
  EXPECT_EQ(networksetup::readRunLog(dir.file("inner"))->size(), 1u);
  EXPECT_EQ(networksetup::readRunLog(dir.file("outer"))->size(), 0u);
}

TEST(Macsim, Base64TakesTheMacOSOptions) {
  TempDir dir;
  struct Row {
    Args args;
    std::string input, output;
    int status;
  };
  const std::vector<Row> rows = {
      {{"-D"}, "aGk=", "hi", 0},
      {{"-d"}, "aGk=", "hi", 0},
      {{"--decode"}, "aGk=\n", "hi", 0},
      {{"-D"}, "aGVs\nbG8=\n", "hello", 0},
      {{}, "hi", "aGk=\n", 0},
      {{},
       "hello world, hello world, hello world, hello world, hello",
       "aGVsbG8gd29ybGQsIGhlbGxvIHdvcmxkLCBoZWxsbyB3b3JsZCwgaGVsbG8gd29ybGQsIGhlbGxv\n",
       0},
      {{"-b", "4"}, "hello", "aGVs\nbG8=\n", 0},
      {{"-D", "-i", "-"}, "aGk=", "hi", 0},
      {{"-D"}, "a?Gk=", "", 1},
      {{"-D"}, "aGk=aGk=", "", 1},
      // Only the canonical last character: bits left over below the last byte must be zero.
      {{"-D"}, "aGl=", "", 1},
      {{"-D"}, "aGVsbB==", "", 1},
      {{"-D"}, "aGVsbA==", "hell", 0},
      {{"-w", "0"}, "", "", 64},  // GNU's option, not the macOS tool's
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    Args command = {"/usr/bin/base64"};
    command.insert(command.end(), row.args.begin(), row.args.end());
    const ToolResult result = runTool(underMacsim(dir.path(), command), withInput(row.input));
    EXPECT_EQ(result.exitCode(), row.status) << result.standardError;
    EXPECT_EQ(result.standardOutput, row.output);
  }
}

TEST(Macsim, TheAdministratorPipelineRunsScriptsByteForByte) {
  TempDir dir;
  // The shape of the elevated command: echo the Base64 text, decode it with -D, run it with bash.
  const std::string script =
      "#!/bin/bash\nset -e\n/usr/sbin/networksetup -setwebproxy 'Office'\\''s \"$`LAN' "
      "'127.0.0.1' 8080\n";
  const ToolResult created = runTool(
      underMacsim(dir.path(), {"/usr/sbin/networksetup", "-createnetworkservice", "Office's \"$`LAN", "Ethernet"}));
  ASSERT_EQ(created.exitCode(), 0);
  const ToolResult encoded = runTool({"/usr/bin/base64", "-w0"}, withInput(script));
  const ToolResult run = runTool(underMacsim(
      dir.path(), {"/bin/sh", "-c", "echo '" + encoded.standardOutput + "' | /usr/bin/base64 -D | /bin/bash"}));
  EXPECT_EQ(run.exitCode(), 0) << run.standardError;
  const auto log = networksetup::readRunLog(dir.path());
  ASSERT_TRUE(log && log->size() == 2);
  EXPECT_EQ(log->back(), (Args{"/usr/sbin/networksetup", "-setwebproxy", "Office's \"$`LAN", "127.0.0.1", "8080"}));
}

TEST(Macsim, PassesTheCommandsExitStatusThroughAndKeepsItsOwnApart) {
  TempDir dir;
  for (int status : {0, 1, 4, 7, 124, 255}) {
    EXPECT_EQ(runTool(underMacsim(dir.path(), {"/bin/sh", "-c", "exit " + std::to_string(status)})).exitCode(), status);
  }
  const ToolResult killed = runTool(underMacsim(dir.path(), {"/bin/sh", "-c", "kill -KILL $$"}));
  EXPECT_TRUE(WIFSIGNALED(killed.waitStatus) && WTERMSIG(killed.waitStatus) == SIGKILL);
  EXPECT_EQ(runTool(underMacsim(dir.path(), {dir.file("missing")})).exitCode(), macsim::exitNotFound);
  EXPECT_EQ(runTool(underMacsim(dir.path(), {dir.path()})).exitCode(), macsim::exitCannotRun);
  for (const Args& bad : {Args{kMacsim}, Args{kMacsim, "--state"}, Args{kMacsim, "--state", dir.path(), "--"},
                          Args{kMacsim, "--frobnicate", "--", "/bin/true"}}) {
    const ToolResult result = runTool(bad);
    EXPECT_EQ(result.exitCode(), macsim::exitSetupFailure);
    EXPECT_NE(result.standardError.find("Usage: macsim"), std::string::npos);
  }
}

TEST(Macsim, TheCommandIsMacsimsProcessAndGetsItsSignals) {
  TempDir dir;
  for (int signal : {SIGTERM, SIGINT}) {
    ToolProcess process(
        underMacsim(dir.path(), {"/bin/sh", "-c", "trap 'exit 42' TERM INT; echo $$; while :; do sleep 0.05; done"}));
    const auto line = process.readLine(std::chrono::seconds(10));
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, std::to_string(process.pid()) + "\n");
    kill(process.pid(), signal);
    const auto result = process.finish(std::chrono::seconds(10));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 42) << strsignal(signal);
  }
}

TEST(Macsim, TheHostSeesNothingChange) {
  TempDir dir;
  struct stat base64Before {
  }, base64After{}, standIn{};
  const bool standInExisted = lstat("/usr/sbin/networksetup", &standIn) == 0;
  ASSERT_EQ(stat("/usr/bin/base64", &base64Before), 0);
  const auto sbinBefore = folderEntries("/usr/sbin");
  const auto libexecBefore = folderEntries("/usr/libexec");

  const ToolResult inside = runTool(underMacsim(dir.path(), {"/bin/ls", "-a", "/usr/sbin"}));
  ASSERT_EQ(inside.exitCode(), 0) << inside.standardError;
  std::set<std::string> seenInside;
  for (size_t at = 0, end; (end = inside.standardOutput.find('\n', at)) != std::string::npos; at = end + 1) {
    seenInside.insert(inside.standardOutput.substr(at, end - at));
  }
  // Inside: every real tool is still there, plus the stand-in.
  auto expectedInside = sbinBefore;
  expectedInside.insert("networksetup");
  EXPECT_EQ(seenInside, expectedInside);

  EXPECT_EQ(lstat("/usr/sbin/networksetup", &standIn) == 0, standInExisted);
  ASSERT_EQ(stat("/usr/bin/base64", &base64After), 0);
  EXPECT_EQ(base64After.st_ino, base64Before.st_ino);
  EXPECT_EQ(base64After.st_size, base64Before.st_size);
  EXPECT_EQ(base64After.st_mtim.tv_sec, base64Before.st_mtim.tv_sec);
  EXPECT_EQ(folderEntries("/usr/sbin"), sbinBefore);
  EXPECT_EQ(folderEntries("/usr/libexec"), libexecBefore);
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) EXPECT_EQ(line.find("macsim"), std::string::npos) << line;
}

TEST(Macsim, WithoutStateOptionUsesTheUsersXdgStateFolder) {
  TempDir dir;
  const Args command = {kMacsim, "--simulated", "--", "/usr/sbin/networksetup", "-setwebproxystate", "Wi-Fi", "on"};
  ASSERT_EQ(runTool(command, withEnvironment({{"XDG_STATE_HOME", dir.file("xdg")}})).exitCode(), 0);
  EXPECT_EQ(networksetup::readRunLog(dir.file("xdg/proxyhost/networksetup"))->size(), 1u);
  ASSERT_EQ(
      runTool(command, withEnvironment({{"XDG_STATE_HOME", std::nullopt}, {"HOME", dir.file("home")}})).exitCode(), 0);
  EXPECT_EQ(networksetup::readRunLog(dir.file("home/.local/state/proxyhost/networksetup"))->size(), 1u);

  EXPECT_EQ(macsim::defaultStateFolder("/x/", "/h"), "/x/proxyhost/networksetup");
  EXPECT_EQ(macsim::defaultStateFolder("relative", "/h"), "/h/.local/state/proxyhost/networksetup");
  EXPECT_EQ(macsim::defaultStateFolder("", "/h"), "/h/.local/state/proxyhost/networksetup");
}

TEST(Macsim, CommandLineTakesTheStateFolderAndTheCommand) {
  struct Row {
    Args arguments;
    std::optional<std::string> state;
    Args command;  // empty: refused
  };
  const std::vector<Row> rows = {
      {{"--state", "D", "--", "cmd", "--state", "x"}, "D", {"cmd", "--state", "x"}},
      {{"--state=D", "--", "cmd"}, "D", {"cmd"}},
      {{"--", "cmd", "--"}, std::nullopt, {"cmd", "--"}},
      {{"cmd", "-x"}, std::nullopt, {"cmd", "-x"}},
      {{"--state", "D"}, {}, {}},
      {{"--state", "--", "cmd"}, {}, {}},
      {{"--state=", "--", "cmd"}, {}, {}},
      {{"-x", "--", "cmd"}, {}, {}},
      {{"--"}, {}, {}},
  };
  for (const auto& row : rows) {
    const auto line = macsim::parseCommandLine(row.arguments);
    SCOPED_TRACE(testing::PrintToString(row.arguments));
    if (row.command.empty()) {
      ASSERT_FALSE(line);
      EXPECT_FALSE(line.error().message().empty());
    } else {
      ASSERT_TRUE(line) << line.error().message();
      EXPECT_EQ(line->stateFolder, row.state);
      EXPECT_EQ(line->command, row.command);
    }
  }
}

TEST(Macsim, AnOrdinaryUserGetsTheSameWorldThroughAUserNamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root; the other tests already ran as this one";
  TempDir dir;
  const uid_t nobody = 65534;
  ASSERT_EQ(chown(dir.path().c_str(), nobody, nobody), 0);
  ToolOptions asNobody = withInput("aGk=");
  asNobody.environment = {{"HOME", dir.path()}};
  asNobody.user = nobody;
  const ToolResult result = runTool(
      underMacsim(dir.file("state"),
                  {"/bin/sh", "-c", "id -u; /usr/bin/base64 -D; echo; /usr/sbin/networksetup -listallnetworkservices"}),
      asNobody);
  const bool refused = firstLine("/proc/sys/kernel/unprivileged_userns_clone") == "0" ||
                       firstLine("/proc/sys/user/max_user_namespaces") == "0" ||
                       firstLine("/proc/sys/kernel/apparmor_restrict_unprivileged_userns") == "1";
  if (refused) {
    EXPECT_EQ(result.exitCode(), macsim::exitSetupFailure);
    EXPECT_NE(result.standardError.find("user namespace"), std::string::npos) << result.standardError;
    return;
  }
  EXPECT_EQ(result.exitCode(), 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "65534\nhi\n" + kFreshListing);
  struct stat info {};
  ASSERT_EQ(stat(dir.file("state/state.lock").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, nobody);
  const ToolResult nested = runTool(nestedLook(dir), asNobody);
  EXPECT_EQ(nested.exitCode(), 0) << nested.standardError;
  EXPECT_EQ(nested.standardOutput, "hi\n" + kFreshListing);
}

}  // namespace
