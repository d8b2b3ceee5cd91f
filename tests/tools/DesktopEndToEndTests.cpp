// The real world's desktop step seen from outside: networksetup and the host under macsim change a
// private desktop session's proxy as GLib's resolver and KDE's reader see it, and put the user's own
// settings back; bad input, a missing bus, runs that change nothing, and a root run for another user.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <fstream>
#include <thread>

#include "tests/support/TestSupport.h"
#include "tests/tools/DesktopSession.h"

namespace {

using namespace std::chrono_literals;
using testing_support::TempDir;
using tools_testing::DesktopSession;
using tools_testing::Environment;
using tools_testing::runTool;
using tools_testing::ToolOptions;
using tools_testing::ToolProcess;
using tools_testing::ToolResult;
using tools_testing::withEnvironment;

const std::string kNetworkSetup = NETWORKSETUP_BIN;
const std::string kBinDir = std::filesystem::path(NETWORKSETUP_BIN).parent_path();
const std::string kService = "Test LAN";

class DesktopEndToEnd : public testing::Test {
 protected:
  void SetUp() override { run({"-createnetworkservice", kService, "Ethernet"}); }

  Environment toolEnvironment(const DesktopSession& session) const {
    Environment env = session.environment();
    env["NETWORKSETUP_STATE_DIR"] = state_.path();
    env["NETWORKSETUP_WORLD"] = "real";
    return env;
  }
  ToolResult run(std::vector<std::string> args, const DesktopSession* session = nullptr) {
    args.insert(args.begin(), kNetworkSetup);
    return runTool(args, withEnvironment(toolEnvironment(session != nullptr ? *session : session_)));
  }
  void enable(const std::string& host = "127.0.0.1") {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-setwebproxy", kService, host, "7890"},
             {"-setsecurewebproxy", kService, host, "7890"},
             {"-setsocksfirewallproxy", kService, host, "7891"},
             {"-setproxybypassdomains", kService, "intranet", "*.local", "localhost"},
             {"-setwebproxystate", kService, "on"},
             {"-setsecurewebproxystate", kService, "on"},
             {"-setsocksfirewallproxystate", kService, "on"}}) {
      const ToolResult result = run(args);
      ASSERT_EQ(result.exitCode(), 0) << result.standardOutput << result.standardError;
      ASSERT_EQ(result.standardOutput, "");
    }
  }
  void disable() {
    for (const char* setting : {"-setwebproxystate", "-setsecurewebproxystate", "-setsocksfirewallproxystate"}) {
      ASSERT_EQ(run({setting, kService, "off"}).exitCode(), 0);
    }
  }

  TempDir state_;
  DesktopSession session_;
};

TEST_F(DesktopEndToEnd, TheHostSwitchesTheDesktopAndOffAndSigtermPutTheUsersOwnProxyBack) {
  session_.useOwnProxy();
  const std::string before = session_.proxyView();
  ASSERT_NE(before.find("http://example.org/ -> http://corp.example:3128"), std::string::npos) << before;

  TempDir hostDir;
  Environment env = toolEnvironment(session_);
  env["PROXYHOST_ENGINE_SOCKET"] = hostDir.file("engine.sock");
  env["PROXYHOST_AUTHORIZATION"] = "approve";
  auto startHost = [&] {
    return std::make_unique<ToolProcess>(
        std::vector<std::string>{kBinDir + "/macsim", "--state", state_.path(), "--", kBinDir + "/proxyhost"},
        withEnvironment(env));
  };
  auto call = [&](const std::string& method, const std::string& arguments) {
    return runTool({kBinDir + "/proxyhostctl", "--socket", hostDir.file("engine.sock"), "--timeout", "30", "call",
                    "/privileged_proxy", method, arguments});
  };
  const std::string on = R"({"services": ["Test LAN"], "host": "127.0.0.1", "port": 7890, "socks": 7891,
                              "bypass": ["intranet", "*.local", "localhost"]})";
  auto host = startHost();
  for (int i = 0; i < 500 && !std::filesystem::exists(hostDir.file("engine.sock")); ++i) std::this_thread::sleep_for(10ms);
  ToolResult reply = call("setProxyElevated", on);
  ASSERT_EQ(reply.standardOutput, "{\"success\": true}\n") << reply.standardError;
  session_.expectClientProxy();
  reply = call("disableProxyElevated", R"({"services": ["Test LAN"]})");
  ASSERT_EQ(reply.exitCode(), 0) << reply.standardOutput;
  EXPECT_EQ(session_.proxyView(), before);

  reply = call("setProxyElevated", on);
  ASSERT_EQ(reply.exitCode(), 0) << reply.standardOutput;
  session_.expectClientProxy();
  ::kill(host->pid(), SIGTERM);
  const auto ended = host->finish(30s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exitCode(), 0) << ended->standardError;
  EXPECT_EQ(session_.proxyView(), before);
}

TEST_F(DesktopEndToEnd, APacModeAndUntouchedDefaultsComeBackExactly) {
  session_.gsettings({"set", "org.gnome.system.proxy", "mode", "auto"});
  session_.gsettings({"set", "org.gnome.system.proxy", "autoconfig-url", "http://wpad.corp.example/proxy.pac"});
  const std::string settings = session_.gnomeProxySettings();
  const std::string view = session_.proxyView();
  enable();
  session_.expectClientProxy();
  disable();
  EXPECT_EQ(session_.gnomeProxySettings(), settings);
  EXPECT_EQ(session_.proxyView(), view);
  EXPECT_FALSE(std::filesystem::exists(session_.configFile("kioslaverc")) && session_.kde("ProxyType") != "");
}

TEST_F(DesktopEndToEnd, WhatADesktopCannotCarryIsRefusedAndLeavesEverythingAsItWas) {
  session_.useOwnProxy();
  const std::string settings = session_.gnomeProxySettings();
  const std::string kioslaverc = testing_support::readFile(session_.configFile("kioslaverc"));
  ASSERT_EQ(run({"-setwebproxy", kService, "bad host", "7890"}).exitCode(), 0);  // off: nothing to carry yet
  const ToolResult refused = run({"-setwebproxystate", kService, "on"});
  EXPECT_EQ(refused.exitCode(), 4);
  EXPECT_EQ(refused.standardOutput,
            "The web proxy server \"bad host\" is not a host name or IP address a desktop can use.\n"
            "** Error: The parameters were not valid.\n");
  EXPECT_EQ(run({"-getwebproxy", kService}).standardOutput,
            "Enabled: No\nServer: bad host\nPort: 7890\nAuthenticated Proxy Enabled: 0\n");
  EXPECT_EQ(run({"-setproxybypassdomains", kService, "a,b"}).exitCode(), 0);
  ASSERT_EQ(run({"-setsocksfirewallproxy", kService, "127.0.0.1", "7891"}).exitCode(), 0);
  EXPECT_EQ(run({"-setsocksfirewallproxystate", kService, "on"}).exitCode(), 4);
  EXPECT_EQ(session_.gnomeProxySettings(), settings);
  EXPECT_EQ(testing_support::readFile(session_.configFile("kioslaverc")), kioslaverc);
}

// A desktop that is not there is noted in the journal, not on standard error: a script that fails
// later carries its standard error as the message, which must name the real fault. As root, the
// test's mount namespace has a /dev/log of its own to read the note from.
TEST(DesktopWithoutASessionBus, TheServicesStillChangeAndTheJournalSaysWhy) {
  std::optional<testing_support::PrivateSyslog> journal;
  if (geteuid() == 0) journal.emplace();
  TempDir state;
  const Environment env = {{"NETWORKSETUP_STATE_DIR", state.path()},
                           {"NETWORKSETUP_WORLD", "real"},
                           {"NETWORKSETUP_DESKTOP", "gsettings"},
                           {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + state.file("no-bus")},
                           {"PKEXEC_UID", std::nullopt},
                           {"SUDO_UID", std::nullopt}};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), kNetworkSetup);
    return runTool(args, withEnvironment(env));
  };
  ASSERT_EQ(run({"-createnetworkservice", kService, "Ethernet"}).exitCode(), 0);
  ASSERT_EQ(run({"-setsocksfirewallproxy", kService, "127.0.0.1", "7891"}).exitCode(), 0);
  const ToolResult result = run({"-setsocksfirewallproxystate", kService, "on"});
  EXPECT_EQ(result.exitCode(), 0);
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_EQ(result.standardError, "");
  EXPECT_TRUE(run({"-getsocksfirewallproxy", kService}).standardOutput.starts_with("Enabled: Yes\n"));
  if (journal) {
    const std::optional<std::string> note = journal->receive(5s);
    ASSERT_TRUE(note.has_value());
    // <13>: user facility, notice.
    EXPECT_TRUE(note->starts_with("<13>")) << *note;
    EXPECT_NE(note->find(" networksetup[" ), std::string::npos) << *note;
    EXPECT_NE(note->find("]: gsettings skipped: no session bus"), std::string::npos) << *note;
  }
}

TEST_F(DesktopEndToEnd, ARunThatLeavesTheEffectiveProxyAsItWasTouchesNoDesktopStore) {
  enable();
  struct stat kde {}, dconf {};
  ASSERT_EQ(stat(session_.configFile("kioslaverc").c_str(), &kde), 0);
  ASSERT_EQ(stat(session_.configFile("dconf/user").c_str(), &dconf), 0);
  std::this_thread::sleep_for(20ms);
  ASSERT_EQ(run({"-createnetworkservice", "Second", "Ethernet"}).exitCode(), 0);
  ASSERT_EQ(run({"-setwebproxy", "Second", "10.0.0.1", "80"}).exitCode(), 0);
  ASSERT_EQ(run({"-setwebproxystate", "Second", "on"}).exitCode(), 0);  // not first in service order
  ASSERT_EQ(run({"-setwebproxystate", kService, "on"}).exitCode(), 0);  // already on
  ASSERT_EQ(run({"-listallnetworkservices"}).exitCode(), 0);
  struct stat kdeAfter {}, dconfAfter {};
  ASSERT_EQ(stat(session_.configFile("kioslaverc").c_str(), &kdeAfter), 0);
  ASSERT_EQ(stat(session_.configFile("dconf/user").c_str(), &dconfAfter), 0);
  EXPECT_EQ(kdeAfter.st_ino, kde.st_ino);
  EXPECT_EQ(dconfAfter.st_ino, dconf.st_ino);
  EXPECT_EQ(dconfAfter.st_mtim.tv_nsec, dconf.st_mtim.tv_nsec);
}

// Root acting for another user: in a mount namespace of this test, /run/user is the test's own and
// /etc/passwd knows the user, so the tool finds /run/user/UID/bus and the home as on a desktop.
TEST(DesktopForAnotherUser, RootChangesTheSettingsOfTheUserWhoAskedAndNeverItsOwn) {
  if (geteuid() != 0) GTEST_SKIP() << "acting for another user needs root";
  // A uid and gid that no entry holds: with a taken one, the machine's entry would win the lookup.
  uid_t user = 47231;
  while (getpwuid(user) != nullptr || getgrgid(user) != nullptr) ++user;
  ASSERT_EQ(unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  ASSERT_EQ(mount("desktoptest", "/run/user", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::ofstream(dir.file("passwd")) << testing_support::readFile("/etc/passwd") << "desktoptest:x:" << user << ":" << user
                                    << "::" << dir.file("home") << ":/bin/sh\n";
  ASSERT_EQ(mount(dir.file("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr), 0);

  DesktopSession root;
  DesktopSession asked(user, dir.file("home"));
  const std::string rootBefore = root.gnomeProxySettings() + root.lookup("http://example.org/");
  Environment env = root.environment();
  env["NETWORKSETUP_WORLD"] = "real";
  env["PKEXEC_UID"] = std::to_string(user);
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), kNetworkSetup);
    const ToolResult result = runTool(args, withEnvironment(env));
    EXPECT_EQ(result.exitCode(), 0) << result.standardOutput << result.standardError;
  };
  run({"-createnetworkservice", kService, "Ethernet"});
  run({"-setwebproxy", kService, "127.0.0.1", "7890"});
  run({"-setwebproxystate", kService, "on"});
  EXPECT_EQ(asked.lookup("http://example.org/"), "http://127.0.0.1:7890");
  EXPECT_EQ(asked.kde("httpProxy"), "http://127.0.0.1 7890");
  EXPECT_EQ(root.gnomeProxySettings() + root.lookup("http://example.org/"), rootBefore);
  EXPECT_FALSE(std::filesystem::exists(root.configFile("kioslaverc")));
  struct stat info {};
  ASSERT_EQ(stat(asked.configFile("kioslaverc").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, user);

  // The state is the user's, in the user's home, and the user's own runs (a cleanup's) share it.
  const std::string stateFolder = dir.file("home") + "/.local/state/proxyhost/networksetup";
  for (const auto& entry : std::filesystem::directory_iterator(stateFolder)) {
    ASSERT_EQ(stat(entry.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, user) << entry.path();
  }
  ToolOptions asUser = withEnvironment(asked.environment());
  asUser.user = user;
  const ToolResult cleanup = runTool({kNetworkSetup, "-setwebproxystate", kService, "off"}, asUser);
  EXPECT_EQ(cleanup.exitCode(), 0) << cleanup.standardOutput << cleanup.standardError;
  EXPECT_EQ(asked.lookup("http://example.org/"), "direct://");

  // Not root, the tool acts for its own user whatever PKEXEC_UID and SUDO_UID say: they name who
  // asked for administrator rights, which only a root run was given.
  TempDir own;
  ASSERT_EQ(chown(own.path().c_str(), user, user), 0);
  ToolOptions byTheUser = withEnvironment(asked.environment());
  byTheUser.environment["NETWORKSETUP_STATE_DIR"] = own.path();
  byTheUser.environment["NETWORKSETUP_WORLD"] = "real";
  byTheUser.environment["PKEXEC_UID"] = "0";
  byTheUser.environment["SUDO_UID"] = "0";
  byTheUser.user = user;
  for (std::vector<std::string> args : {std::vector<std::string>{"-createnetworkservice", kService, "Ethernet"},
                                        {"-setwebproxy", kService, "127.0.0.2", "7890"},
                                        {"-setwebproxystate", kService, "on"}}) {
    args.insert(args.begin(), kNetworkSetup);
    const ToolResult result = runTool(args, byTheUser);
    EXPECT_EQ(result.exitCode(), 0) << result.standardOutput << result.standardError;
    EXPECT_EQ(result.standardError, "");
  }
  EXPECT_EQ(asked.lookup("http://example.org/"), "http://127.0.0.2:7890");
  EXPECT_EQ(root.gnomeProxySettings() + root.lookup("http://example.org/"), rootBefore);
}

}  // namespace
