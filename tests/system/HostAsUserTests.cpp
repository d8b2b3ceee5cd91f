// The host as a desktop user runs it: the product installed from this build's Debian package,
// started from its installed bundle as that user (no wrapper), administrator runs through the real
// pkexec and polkitd under a rule that approves or denies the product's own action, the user's own
// desktop (GLib's resolver, KDE's reader) as what changes, NetworkManager's devices as the network
// services, logind announcing power-off, the guard after a kill, and the window's own switch driven
// through its accessibility tree on an X desktop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/posix/UniqueFd.h"
#include "tests/e2e/MacsimHost.h"
#include "tests/e2e/XDesktop.h"
#include "tests/system/PrivateSystem.h"

namespace {

using namespace std::chrono_literals;
using system_testing::PolkitAnswer;
using system_testing::PrivateSystem;
using testing_support::eventually;
using testing_support::RunLog;
using tools_testing::runTool;
using tools_testing::ToolProcess;
using tools_testing::ToolResult;

// Where the package puts the product.
const std::string kHost = "/usr/lib/proxyhost/ProxyHost.app/Contents/MacOS/proxyhost";
const std::string kProxyhostctl = "/usr/bin/proxyhostctl";
const std::string kTools = "/usr/libexec/proxyhost";
// The rule answers this action alone, so an approved change proves pkexec chose the product's
// action for its helper, not its generic one.
const std::string kAction = "net.proxyhost.client.change-proxy";
const std::string& kTool = testing_support::kNetworkSetupTool;
const std::string kEnable = R"({"services": ["Ethernet", "Wi-Fi"], "host": "127.0.0.1", "port": 7890, "socks": 7891,
                                "bypass": ["intranet", "*.local", "localhost"]})";
const std::string kDisable = R"({"services": ["Ethernet", "Wi-Fi"]})";
const std::string kAllOff = "Ethernet No No No\nWi-Fi No No No\n";

class HostAsUser : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "a private system needs root";
  }

  // The world with NetworkManager's wired and wireless devices, and the user's own proxy set.
  void startWorld(PolkitAnswer answer) {
    system_ = std::make_unique<PrivateSystem>(system_testing::PrivateSystemOptions{
        .answer = answer, .actionIds = {kAction}, .package = PROXYHOST_PACKAGE_FILE});
    ASSERT_TRUE(system_->ready()) << system_->problem();
    ASSERT_FALSE(system_->addEthernet("eth0").empty());
    ASSERT_FALSE(system_->addWiFi("wlan0").empty());
    system_->desktop().useOwnProxy();
    usersOwn_ = system_->desktop().proxyView();
    ASSERT_NE(usersOwn_.find("http://example.org/ -> http://corp.example:3128"), std::string::npos) << usersOwn_;
  }

  // As the user's session has it, without anything a test run of this machine may have set.
  tools_testing::ToolOptions asUser(tools_testing::Environment extra = {}) const {
    tools_testing::Environment environment = {
        {"NETWORKSETUP_STATE_DIR", std::nullopt},  {"NETWORKSETUP_WORLD", std::nullopt},
        {"NETWORKSETUP_DESKTOP", std::nullopt},    {"PROXYHOST_AUTHORIZATION", std::nullopt},
        {"PROXYHOST_ENGINE_SOCKET", std::nullopt}, {"XDG_STATE_HOME", std::nullopt}};
    for (auto& [name, value] : extra) environment[name] = std::move(value);
    return system_->asUser(std::move(environment));
  }

  // The installed host as the user, serving at its default place once this returns.
  void startHost(tools_testing::Environment extra = {}) {
    host_ = std::make_unique<ToolProcess>(std::vector<std::string>{kHost}, asUser(std::move(extra)));
    ASSERT_TRUE(eventually([&] { return ctl("launch_at_startup", "launchAtStartupIsEnabled").exitCode() == 0; }, 20s))
        << "the host never served its user";
  }

  ToolResult ctl(const std::string& channel, const std::string& method, const std::string& arguments = "null") {
    return runTool({kProxyhostctl, "--timeout", "60", "call", channel, method, arguments}, asUser());
  }
  ToolResult proxy(const std::string& method, const std::string& arguments) {
    return ctl("/privileged_proxy", method, arguments);
  }

  // "SERVICE web secure socks" with Yes or No for each service, as the user's networksetup reports.
  std::string states() {
    std::string text;
    for (const char* service : {"Ethernet", "Wi-Fi"}) {
      text += service;
      for (const char* getter : {"-getwebproxy", "-getsecurewebproxy", "-getsocksfirewallproxy"}) {
        const std::string out = runTool({kTools + "/networksetup", getter, service}, asUser()).standardOutput;
        text += out.starts_with("Enabled: Yes") ? " Yes" : out.starts_with("Enabled: No") ? " No" : " ?" + out;
      }
      text += "\n";
    }
    return text;
  }

  // The product's runs, from the run log in the user's own networksetup state.
  RunLog runs() const {
    return testing_support::productRunsIn(system_->home() + "/.local/state/proxyhost/networksetup");
  }
  // The runs after the last one that switched a state on.
  RunLog runsAfterTheLastOn() const {
    RunLog all = runs();
    auto last = std::find_if(all.rbegin(), all.rend(), [](const auto& run) { return run.back() == "on"; });
    return RunLog(last.base(), all.end());
  }
  // One cleanup: the listing, then every state of both services off.
  static RunLog oneCleanup() {
    RunLog cleanup = {{kTool, "-listallnetworkservices"}};
    for (const char* service : {"Ethernet", "Wi-Fi"}) {
      for (const char* setting : {"-setwebproxystate", "-setsecurewebproxystate", "-setsocksfirewallproxystate"}) {
        cleanup.push_back({kTool, setting, service, "off"});
      }
    }
    return cleanup;
  }

  void switchOn() {
    const ToolResult on = proxy("setProxyElevated", kEnable);
    ASSERT_EQ(on.standardOutput, "{\"success\": true}\n") << on.standardError << host_->pid();
    ASSERT_EQ(states(), "Ethernet Yes Yes Yes\nWi-Fi Yes Yes Yes\n");
    system_->desktop().expectClientProxy();
  }

  std::unique_ptr<PrivateSystem> system_;
  std::string usersOwn_;
  std::unique_ptr<ToolProcess> host_;
};

TEST_F(HostAsUser, SetThroughPolkitReachesTheUsersDesktopAndDisableGivesItsOwnSettingsBackExactly) {
  startWorld(PolkitAnswer::approve);
  const std::string settings = system_->desktop().gnomeProxySettings();
  startHost();
  switchOn();
  // The listing came from NetworkManager, each device named as macOS names its kind.
  EXPECT_EQ(runTool({kTools + "/networksetup", "-listallnetworkservices"}, asUser()).standardOutput,
            "An asterisk (*) denotes that a network service is disabled.\nEthernet\nWi-Fi\n");

  const ToolResult off = proxy("disableProxyElevated", kDisable);
  EXPECT_EQ(off.standardOutput, "{\"success\": true}\n") << off.standardError;
  EXPECT_EQ(states(), kAllOff);
  EXPECT_EQ(system_->desktop().proxyView(), usersOwn_);
  EXPECT_EQ(system_->desktop().gnomeProxySettings(), settings);
}

TEST_F(HostAsUser, ADeniedUserGetsTheRefusalAndNothingChanges) {
  startWorld(PolkitAnswer::deny);
  startHost();
  const ToolResult refused = proxy("setProxyElevated", kEnable);
  EXPECT_EQ(refused.exitCode(), 1) << refused.standardOutput;
  EXPECT_NE(refused.standardOutput.find("Not authorized"), std::string::npos) << refused.standardOutput;
  EXPECT_EQ(states(), kAllOff);
  EXPECT_EQ(system_->desktop().proxyView(), usersOwn_);
  for (const auto& run : runs()) EXPECT_NE(run.back(), "on");
}

TEST_F(HostAsUser, QuitSwitchesEverythingOffAndGivesTheUsersSettingsBack) {
  startWorld(PolkitAnswer::approve);
  startHost();
  switchOn();
  ::kill(host_->pid(), SIGINT);
  const auto ended = host_->finish(30s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exitCode(), 0) << ended->standardError;
  EXPECT_EQ(states(), kAllOff);
  EXPECT_EQ(system_->desktop().proxyView(), usersOwn_);
}

// A quit at log-out: the user's session bus is gone when the host cleans up, so the services go off
// and the desktop cannot follow. At the next log-in the package's autostart entry, run as a session
// runs it, puts the user's own settings back without the client.
TEST_F(HostAsUser, AQuitAtLogOutIsRepairedAtTheNextLogInByThePackagesAutostartEntry) {
  startWorld(PolkitAnswer::approve);
  startHost();
  switchOn();
  system_->desktop().stopBus();
  ::kill(host_->pid(), SIGTERM);
  const auto ended = host_->finish(30s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exitCode(), 0) << ended->standardError;
  EXPECT_EQ(states(), kAllOff);
  system_->desktop().startBus();
  EXPECT_EQ(system_->desktop().lookup("http://example.org/"), "http://127.0.0.1:7890");

  const std::string entry = testing_support::readFile("/etc/xdg/autostart/net.proxyhost.client.repair-desktop.desktop");
  const size_t exec = entry.find("\nExec=");
  ASSERT_NE(exec, std::string::npos) << entry;
  std::vector<std::string> command;
  std::istringstream words(entry.substr(exec + 6, entry.find('\n', exec + 1) - exec - 6));
  for (std::string word; words >> word;) command.push_back(word);
  const ToolResult repair = runTool(command, asUser());
  EXPECT_EQ(repair.exitCode(), 0) << repair.standardError;
  EXPECT_EQ(system_->desktop().proxyView(), usersOwn_);
  EXPECT_EQ(states(), kAllOff);
}

// Administrator rights are refused from here on, so whatever switches off after the kill did it
// as the user.
TEST_F(HostAsUser, AfterAKillTheGuardSwitchesEverythingOffWithoutAdministratorRights) {
  startWorld(PolkitAnswer::approve);
  startHost();
  switchOn();
  system_->answer(PolkitAnswer::deny);
  ::kill(host_->pid(), SIGKILL);
  EXPECT_TRUE(eventually([&] { return states() == kAllOff; }, 20s)) << states();
  EXPECT_EQ(runsAfterTheLastOn(), oneCleanup());
  EXPECT_TRUE(eventually([&] { return system_->desktop().proxyView() == usersOwn_; }, 10s))
      << system_->desktop().proxyView();
}

TEST_F(HostAsUser, PowerOffAnnouncedByLogindRunsOneCleanupBeforeTheHostLetsItGo) {
  startWorld(PolkitAnswer::approve);
  startHost();
  switchOn();
  ASSERT_TRUE(
      eventually([&] { return system_->inhibitors() == std::vector<std::string>{"shutdown ProxyHost delay"}; }, 10s));
  system_->announcePowerOff();
  // The delay lock goes only after the cleanup, so by then its runs are all in the log.
  ASSERT_TRUE(eventually([&] { return system_->inhibitors().empty(); }, 20s));
  EXPECT_EQ(runsAfterTheLastOn(), oneCleanup());
  EXPECT_EQ(states(), kAllOff);
  EXPECT_EQ(system_->desktop().proxyView(), usersOwn_);
}

// Under a rule that would approve the user: by hand the helper is not root, and through pkexec
// with no command it has nothing to run. Approval is for the product's action alone.
TEST_F(HostAsUser, ThePrivilegedHelperByHandOrWithoutACommandRefusesAndRunsNothing) {
  startWorld(PolkitAnswer::approve);
  const std::string witness = system_->home() + "/ran";
  const std::string admin = kTools + "/proxyhost-admin";
  auto withInput = [&](std::string input) {
    tools_testing::ToolOptions options = asUser();
    options.input = std::move(input);
    return options;
  };
  const ToolResult byHand = runTool({admin, "#m"}, withInput("touch " + witness));
  EXPECT_EQ(byHand.exitCode(), 2);
  EXPECT_NE(byHand.standardError.find("only pkexec may start it"), std::string::npos) << byHand.standardError;
  const ToolResult noCommand = runTool({"/usr/bin/pkexec", admin, "#m"}, withInput(""));
  EXPECT_EQ(noCommand.exitCode(), 2);
  EXPECT_NE(noCommand.standardError.find("no command was given on standard input"), std::string::npos)
      << noCommand.standardError;
  EXPECT_FALSE(std::filesystem::exists(witness));
  // The same helper through pkexec with a command does run it, with the user's own rights alone (no
  // root-only file, nothing under /usr/local): the refusals above were its own.
  const ToolResult approved =
      runTool({"/usr/bin/pkexec", admin, "#m"},
              withInput("id -u; touch " + witness +
                        "; cat /etc/shadow >/dev/null 2>&1 && echo read-shadow; "
                        "touch /usr/local/proxyhost-root 2>/dev/null && echo wrote-usr-local; true"));
  EXPECT_EQ(approved.exitCode(), 0) << approved.standardError;
  EXPECT_EQ(approved.standardOutput, std::to_string(system_->uid()) + "\n");
  EXPECT_TRUE(std::filesystem::exists(witness));
  // Anything else through pkexec gets polkit's defaults, which need an authentication agent there is none of.
  EXPECT_EQ(runTool({"/usr/bin/pkexec", "/usr/bin/id", "-u"}, asUser()).exitCode(), 127);
}

// An enable that stalls inside its administrator run (networksetup waits for its state lock) when
// the host is killed: the guard switches everything off, and the run, which would switch its
// proxies on as soon as the lock comes free, ends with its caller instead of outliving it.
TEST_F(HostAsUser, AnAdministratorRunInFlightWhenTheHostIsKilledNeverSwitchesOnAfterTheGuard) {
  startWorld(PolkitAnswer::approve);
  startHost();
  ASSERT_EQ(states(), kAllOff);  // the user's networksetup state exists from here on
  const std::string stateLock = system_->home() + "/.local/state/proxyhost/networksetup/state.lock";
  posix::UniqueFd held(::open(stateLock.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(held.valid()) << stateLock;
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  ToolProcess enable({kProxyhostctl, "--timeout", "60", "call", "/privileged_proxy", "setProxyElevated", kEnable},
                     asUser());
  // The enable's first networksetup run waits for the lock inside the administrator shell.
  auto stalledRuns = [&] {
    int count = 0;
    for (pid_t pid : system_->processes()) {
      const std::string command = testing_support::readFile("/proc/" + std::to_string(pid) + "/cmdline");
      if (command.find(std::string("\0-setwebproxy\0", 14)) != std::string::npos ||
          command.find("proxyhost-admin") != std::string::npos) {
        ++count;
      }
    }
    return count;
  };
  ASSERT_TRUE(eventually([&] { return stalledRuns() > 0; }, 20s));
  ::kill(host_->pid(), SIGKILL);
  // The run goes with its caller; only then does the lock come free.
  EXPECT_TRUE(eventually([&] { return stalledRuns() == 0; }, 10s)) << "the administrator run outlived the host";
  held.reset();
  // The guard's cleanup, which waited for the run, is all that ran.
  EXPECT_TRUE(eventually([&] { return runs() == oneCleanup(); }, 20s)) << runs().size();
  // Long enough for an orphaned run to have switched something on.
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(states(), kAllOff);
  for (const auto& run : runs()) EXPECT_NE(run.back(), "on");
  EXPECT_NE(enable.finish(30s)->exitCode(), 0);
}

// The prompt as the user meets it, through a real authentication agent registered for the host:
// without an agent a clear error; at the prompt, which names the product, Cancel answers "User
// canceled." (the channel's "cancelled"), a wrong password is refused, and neither switches
// anything; the right one switches, and the next change within five minutes asks no more, as the
// action's auth_admin_keep promises.
TEST_F(HostAsUser, ThePromptNamesTheProductAndItsAnswerDecidesAndIsKeptForTheNextChange) {
  startWorld(PolkitAnswer::authenticate);
  startHost();
  const ToolResult noAgent = proxy("setProxyElevated", kEnable);
  EXPECT_EQ(noAgent.exitCode(), 1);
  EXPECT_NE(noAgent.standardOutput.find("no authentication agent"), std::string::npos) << noAgent.standardOutput;
  EXPECT_EQ(states(), kAllOff);

  struct Case {
    const char* what;
    std::function<void(PrivateSystem::Agent&)> answer;
    const char* reply;   // in proxyhostctl's output
    const char* ending;  // how the agent saw the request end
    bool switched;
  };
  const std::vector<Case> cases = {
      {"Cancel", [](PrivateSystem::Agent& agent) { agent.cancel(); }, R"("code": "cancelled")", "CANCELED", false},
      {"a wrong password", [](PrivateSystem::Agent& agent) { agent.type("not-the-password"); }, R"("code": "failed")",
       "FAILED", false},
      {"the right password", [](PrivateSystem::Agent& agent) { agent.type(system_testing::kPassword); },
       R"({"success": true})", "COMPLETE", true},
  };
  for (const Case& c : cases) {
    PrivateSystem::Agent agent(*system_, host_->pid());
    ASSERT_TRUE(agent.registered()) << c.what;
    ToolProcess change({kProxyhostctl, "--timeout", "60", "call", "/privileged_proxy", "setProxyElevated", kEnable},
                       asUser());
    ASSERT_TRUE(agent.waitFor("ProxyHost wants to change the network proxy settings.", 20s))
        << c.what << ": " << agent.screen();
    ASSERT_TRUE(agent.waitFor("Password: ", 10s)) << c.what << ": " << agent.screen();
    c.answer(agent);
    const auto answered = change.finish(60s);
    ASSERT_TRUE(answered) << c.what << ": " << agent.screen();
    EXPECT_TRUE(agent.waitFor(std::string("==== AUTHENTICATION ") + c.ending + " ====", 5s))
        << c.what << ": " << agent.screen();
    EXPECT_NE(answered->standardOutput.find(c.reply), std::string::npos)
        << c.what << ": " << answered->standardOutput << answered->standardError << "\nscreen:\n"
        << agent.screen();
    EXPECT_EQ(states(), c.switched ? "Ethernet Yes Yes Yes\nWi-Fi Yes Yes Yes\n" : kAllOff) << c.what;
    if (!c.switched) continue;
    // Kept: the next change runs at once, and the agent is not asked again.
    const std::string shown = agent.screen();
    const ToolResult off = proxy("disableProxyElevated", kDisable);
    EXPECT_EQ(off.standardOutput, "{\"success\": true}\n") << off.standardError;
    EXPECT_EQ(states(), kAllOff);
    EXPECT_FALSE(agent.waitFor("AUTHENTICATING", 500ms)) << agent.screen();
  }
}

// The user answers the prompt after the host was killed: the guard has switched everything off, and
// the command the answer lets through finds its caller gone and runs nothing.
TEST_F(HostAsUser, APromptAnsweredAfterTheHostWasKilledSwitchesNothingOn) {
  startWorld(PolkitAnswer::authenticate);
  startHost();
  PrivateSystem::Agent agent(*system_, host_->pid());
  ASSERT_TRUE(agent.registered());
  ToolProcess change({kProxyhostctl, "--timeout", "60", "call", "/privileged_proxy", "setProxyElevated", kEnable},
                     asUser());
  ASSERT_TRUE(agent.waitFor("Password: ", 20s)) << agent.screen();
  ::kill(host_->pid(), SIGKILL);
  ASSERT_TRUE(eventually([&] { return runs() == oneCleanup(); }, 20s)) << "the guard did not clean up";
  agent.type(system_testing::kPassword);
  agent.waitFor("====", 5s);
  // Long enough for a command let through to have switched something on.
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(states(), kAllOff);
  EXPECT_EQ(runs(), oneCleanup());
}

// The window as the user meets it: the host on an X desktop of the test's own, its widgets on an
// accessibility bus of the user's (the bus admits its owner alone, so an X desktop's own one, run
// by root, cannot take the user's application), and tests/e2e/ui_driver.py as the user's screen
// reader. The switch asks the real polkitd through pkexec, as the package installs it.
class WindowAsUser : public HostAsUser {
 protected:
  // The display and the user's accessibility bus; the host then shows its window on them.
  void startWindow() {
    x_ = std::make_unique<testing_support::XDesktop>();
    ASSERT_TRUE(x_->ready()) << x_->failure();
    for (const char* name : {"DISPLAY", "GDK_BACKEND", "GDK_DEBUG", "GSK_RENDERER", "PROXYHOST_HEADLESS"}) {
      display_[name] = x_->environment().at(name);
    }
    display_["WAYLAND_DISPLAY"] = std::nullopt;
    accessibilityBus_ =
        std::make_unique<ToolProcess>(std::vector<std::string>{"/usr/libexec/at-spi-bus-launcher"}, asUser(display_));
    ASSERT_TRUE(eventually(
        [&] {
          return runTool({"/usr/bin/gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                          "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner", "org.a11y.Bus"},
                         asUser())
                     .standardOutput.find("true") != std::string::npos;
        },
        15s))
        << "the user's accessibility bus did not start";
    startHost(display_);
    ASSERT_TRUE(eventually([&] { return x_->shownWindows("ProxyHost").size() == 1; }, 20s)) << "no window was shown";
  }

  // One run of the driver as the user, its steps in order; the script comes on standard input, so
  // the user needs no access to the source tree.
  void drive(const std::vector<std::vector<std::string>>& steps) {
    std::vector<std::string> argv = {"/usr/bin/python3", "-"};
    for (const auto& step : steps) {
      if (argv.size() > 2) argv.push_back("--");
      argv.insert(argv.end(), step.begin(), step.end());
    }
    tools_testing::ToolOptions options = asUser(display_);
    options.input = testing_support::readFile(PROXYHOST_UI_DRIVER);
    ToolProcess driver(argv, options);
    const auto result = driver.finish(180s);
    ASSERT_TRUE(result) << "the driver did not finish";
    EXPECT_EQ(result->exitCode(), 0) << result->standardError;
  }

  int enables() const {
    const RunLog all = runs();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [](const auto& run) { return run.back() == "on"; }));
  }

  std::unique_ptr<testing_support::XDesktop> x_;
  tools_testing::Environment display_;
  std::unique_ptr<ToolProcess> accessibilityBus_;
};

TEST_F(WindowAsUser, TheSwitchGoesThroughPolkitToTheUsersDesktopAndARefusalIsShownAndChangesNothing) {
  startWorld(PolkitAnswer::approve);
  const std::string settings = system_->desktop().gnomeProxySettings();
  startWindow();
  const std::string kSwitch = "Use as system proxy";

  // Nothing chosen yet: every enabled service, Ethernet and Wi-Fi.
  drive({{"expect-text", "Wi-Fi", "20"},
         {"set-text", "Server host", "127.0.0.1"},
         {"set-text", "HTTP port", "7890"},
         {"set-text", "SOCKS port", "7891"},
         {"set-text", "Bypass (comma-separated)", "intranet, *.local, localhost"},
         {"toggle", kSwitch},
         {"expect-checked", kSwitch, "1", "60"}});
  EXPECT_EQ(states(), "Ethernet Yes Yes Yes\nWi-Fi Yes Yes Yes\n") << host_->pid();
  system_->desktop().expectClientProxy();

  drive({{"toggle", kSwitch}, {"expect-checked", kSwitch, "0", "60"}});
  EXPECT_EQ(states(), kAllOff);
  EXPECT_EQ(system_->desktop().proxyView(), usersOwn_);
  EXPECT_EQ(system_->desktop().gnomeProxySettings(), settings);

  // From now on polkit refuses: the window says so, and neither the services nor the desktop change.
  system_->answer(PolkitAnswer::deny);
  const int enabled = enables();
  drive({{"toggle", kSwitch},
         {"expect-text", "the change was not authorized", "60"},
         {"expect-text", "Not authorized", "2"},
         {"expect-checked", kSwitch, "0", "10"}});
  EXPECT_EQ(states(), kAllOff);
  EXPECT_EQ(system_->desktop().proxyView(), usersOwn_);
  EXPECT_EQ(enables(), enabled);

  // The host still serves, and its quit is its usual one.
  ::kill(host_->pid(), SIGINT);
  const auto ended = host_->finish(30s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exitCode(), 0) << ended->standardError;
}

}  // namespace
