// The built-in Flutter side as a person meets it, driven through its accessibility tree as a
// screen reader would (tests/e2e/ui_driver.py on the desktop's AT-SPI bus): the system proxy page
// with its checks and refusals, the latency page against a network of the test's own, start at
// login, and the choices kept between starts. Screenshots of each page go to build/screenshots.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <utility>

#include "tests/e2e/MacsimHost.h"
#include "tests/e2e/XDesktop.h"
#include "tests/netlab/NetLab.h"

namespace {

using namespace std::chrono_literals;
using testing_support::callOver;
using testing_support::ChildProcess;
using testing_support::eventually;

const std::string kTitle = "ProxyHost";
const std::string kSwitch = "Use as system proxy";

struct Driven {
  bool ok = false;
  std::string output;
};

class InterfaceEndToEnd : public testing_support::MacsimHostTest {
 protected:
  void SetUp() override {
    MacsimHostTest::SetUp();
    ASSERT_TRUE(desktop_.ready()) << desktop_.failure();
  }

  std::string configHome() const { return desktop_.environment().at("XDG_CONFIG_HOME"); }
  std::string preferencesFile() const { return configHome() + "/" PROXYHOST_BUNDLE_ID "/interface.conf"; }

  void savedChoices(const std::string& text) {
    std::filesystem::create_directories(configHome() + "/" PROXYHOST_BUNDLE_ID);
    std::ofstream(preferencesFile()) << text;
  }

  void startWindowed(std::map<std::string, std::string> env = {}) {
    for (const auto& [key, value] : desktop_.environment()) env.emplace(key, value);
    startHost(env, HostReady::armed);
    ASSERT_TRUE(eventually([&] { return desktop_.shownWindows(kTitle).size() == 1; }, 15s)) << host_->standardError();
  }

  // One run of the driver: its steps in order, each an argument list; fails the test when a step fails.
  Driven drive(const std::vector<std::vector<std::string>>& steps) {
    std::vector<std::string> argv = {"/usr/bin/python3", PROXYHOST_UI_DRIVER};
    for (const auto& step : steps) {
      if (argv.size() > 2) argv.push_back("--");
      argv.insert(argv.end(), step.begin(), step.end());
    }
    std::filesystem::create_directories(dir_.file("driver"));
    ChildProcess driver(argv, desktop_.environment(), dir_.file("driver"));
    auto status = driver.wait(120s);
    Driven driven{status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0, driver.standardOutput()};
    EXPECT_TRUE(driven.ok) << driver.standardError() << "\nhost:\n" << host_->standardError();
    return driven;
  }

  void screenshot(const std::string& page) {
    const std::string window = desktop_.shownWindows(kTitle).front();
    const std::string path = std::string(PROXYHOST_SCREENSHOT_DIR) + "/Interface-" + page + ".png";
    EXPECT_TRUE(eventually([&] { return desktop_.screenshot(window, path) && desktop_.colourCount(path) > 16; }, 5s))
        << path;
  }

  // The runs that changed something; the interface's own reads (-list, -get) are left out.
  testing_support::RunLog hostChanges() const {
    testing_support::RunLog changes;
    for (const auto& run : hostRuns()) {
      if (run.size() > 1 && run[1].starts_with("-set")) changes.push_back(run);
    }
    return changes;
  }

  testing_support::XDesktop desktop_{testing_support::XDesktop::Accessibility::on};
};

// The page checks before it sends, switches the chosen services through the channel, shows a
// vanished service in words, follows changes made by another Flutter side and at a terminal, and
// keeps the choices.
TEST_F(InterfaceEndToEnd, SystemProxyPageSwitchesTheChosenServicesAndSaysWhatWentWrong) {
  networksetup({"-createnetworkservice", "Office LAN", "Ethernet"});
  savedChoices("[Proxy]\nhost=10.9.8.7\nservices=Wi-Fi;Office LAN;\n");
  startWindowed();

  drive({{"expect-text", "Office LAN", "15"},
         {"set-text", "HTTP port", "0"},
         {"toggle", kSwitch},
         {"expect-text", "The HTTP port must be a number from 1 to 65535", "10"},
         {"expect-checked", kSwitch, "0", "2"}});
  screenshot("proxy-form-error");
  EXPECT_TRUE(hostChanges().empty()) << "a form that does not check out was sent";

  // The service goes away after the page listed it: the host's script stops there, with Wi-Fi
  // (before it) already switched, and the page says so and shows the real state.
  networksetup({"-removenetworkservice", "Office LAN"});
  drive({{"set-text", "HTTP port", "8080"},
         {"toggle", kSwitch},
         {"expect-text", "a network service does not exist", "30"},
         {"expect-text", "Details: failed", "2"},
         {"expect-text", "Not found: networksetup does not list this service", "15"},
         {"expect-checked", kSwitch, "1", "15"}});
  screenshot("proxy-unknown-service");

  // Take the vanished service out of the choice, switch off and on again.
  drive({{"toggle", "Office LAN"},
         {"click", "Dismiss the error"},
         {"toggle", kSwitch},
         {"expect-checked", kSwitch, "0", "30"},
         {"toggle", kSwitch},
         {"expect-text", "On for Wi-Fi", "30"}});
  const std::string web = networksetup({"-getwebproxy", "Wi-Fi"});
  EXPECT_NE(web.find("Enabled: Yes\nServer: 10.9.8.7\nPort: 8080\n"), std::string::npos) << web;
  EXPECT_NE(networksetup({"-getsocksfirewallproxy", "Wi-Fi"}).find("Port: 7891"), std::string::npos);
  EXPECT_NE(networksetup({"-getwebproxy", "Ethernet"}).find("Enabled: No"), std::string::npos) << "not chosen";
  screenshot("proxy-on");

  // Another Flutter side switches it off over the engine link, and a person at a terminal on again:
  // the page follows networksetup's state as it changes, not at a later poll.
  EXPECT_EQ(callOver(*client_, testing_support::kPrivilegedProxyChannel, "disableProxyElevated",
                     EncodableMap{{"services", testing_support::stringList({"Wi-Fi"})}}),
            testing_support::Reply(EncodableValue(true)));
  drive({{"expect-checked", kSwitch, "0", "3"}});
  networksetup({"-setwebproxystate", "Wi-Fi", "on"});
  drive({{"expect-text", "On for Wi-Fi", "3"}, {"expect-checked", kSwitch, "1", "1"}});
  // The page's own reads change nothing it follows: once the last change is read, it reads no more.
  auto reads = [&] {
    const auto runs = hostRuns();
    return std::count_if(runs.begin(), runs.end(),
                         [](const auto& run) { return run.size() > 1 && run[1] == "-listallnetworkservices"; });
  };
  auto seen = reads();
  EXPECT_TRUE(eventually(
      [&] {
        std::this_thread::sleep_for(1s);
        const auto now = reads();
        return std::exchange(seen, now) == now;
      },
      10s))
      << "the page keeps reading the services";

  const std::string saved = testing_support::readFile(preferencesFile());
  EXPECT_NE(saved.find("httpPort=8080"), std::string::npos) << saved;
  EXPECT_NE(saved.find("host=10.9.8.7"), std::string::npos) << saved;
  EXPECT_NE(saved.find("services=Wi-Fi;\n"), std::string::npos) << saved;
}

// A cancelled prompt and a damaged preferences file: the person reads what happened, nothing changes.
TEST_F(InterfaceEndToEnd, ACancelledPromptIsShownInWordsAndChangesNothing) {
  savedChoices("[Proxy\nthis is not a key file");
  startWindowed({{"PROXYHOST_AUTHORIZATION", "cancel"}});
  drive({{"expect-text", "could not all be read", "15"},
         {"expect-text", "Proxies off", "15"},
         {"toggle", kSwitch},
         {"expect-text", "the password prompt was cancelled", "30"},
         {"expect-text", "Details: cancelled: User cancelled authorization", "2"},
         {"expect-checked", kSwitch, "0", "5"}});
  screenshot("proxy-cancelled");
  EXPECT_TRUE(hostChanges().empty());
  EXPECT_FALSE(host_->wait(0ms)) << "the host ended";
}

// The latency page against the network test bed (root): a listener, a closed port and a silent
// address, each answered in its row; then start at login writes and removes the autostart entry.
TEST_F(InterfaceEndToEnd, LatencyPageAndStartAtLogin) {
  if (auto why = netlab::whyUnavailable()) GTEST_SKIP() << *why;
  std::string error;
  auto lab = netlab::Lab::build({.roundTrip = 20ms}, &error);
  ASSERT_TRUE(lab) << error;
  launcher_ = {netlab::ipTool(), "netns", "exec", lab->clientNamespace()};
  const std::string open = std::string(netlab::kServerAddress) + ":" + std::to_string(netlab::kOpenPort);
  const std::string closed = std::string(netlab::kServerAddress) + ":" + std::to_string(netlab::kClosedPort);
  const std::string silent = std::string(netlab::kSilentAddress) + ":" + std::to_string(netlab::kOpenPort);
  savedChoices("[Latency]\ntargets=" + open + ";" + closed + ";\ntimeoutMs=1000\n");
  startWindowed();

  drive({{"page", "Latency"},
         {"set-text", "Add a target (host:port)", "not a target"},
         {"click", "Add target"},
         {"expect-text", "Write a target as host:port", "10"},
         {"set-text", "Add a target (host:port)", silent},
         {"click", "Add target"},
         {"click", "Remove " + closed},
         {"set-text", "Add a target (host:port)", closed},
         {"click", "Add target"},
         {"toggle", "Sort by result"},
         {"click", "Test"},
         {"expect-text", "timed out", "20"}});
  auto result = [&](const std::string& target) {
    Driven driven = drive({{"text", "Result for " + target}});
    return driven.output;
  };
  EXPECT_TRUE(eventually([&] { return result(silent).find("timed out") != std::string::npos; }, 15s)) << result(silent);
  EXPECT_TRUE(std::regex_search(result(open), std::regex("^[0-9]+ ms"))) << result(open);
  EXPECT_NE(result(closed).find("timed out"), std::string::npos) << result(closed);
  screenshot("latency");
  const std::string saved = testing_support::readFile(preferencesFile());
  EXPECT_NE(saved.find("targets=" + open + ";" + silent + ";" + closed + ";"), std::string::npos) << saved;

  const std::string entry = configHome() + "/autostart/" PROXYHOST_BUNDLE_ID ".desktop";
  drive({{"page", "General"}, {"toggle", "Start at login"}, {"expect-checked", "Start at login", "1", "10"}});
  EXPECT_TRUE(std::filesystem::exists(entry));
  screenshot("general");
  drive({{"toggle", "Start at login"}, {"expect-checked", "Start at login", "0", "10"}});
  EXPECT_FALSE(std::filesystem::exists(entry));
}

// The tray through a StatusNotifierWatcher stand-in: the item registers, its menu has the three
// items, "System proxy" switches the chosen services, and "Quit" ends the host after its cleanups.
TEST_F(InterfaceEndToEnd, TrayItemRegistersSwitchesTheProxyAndQuits) {
  std::filesystem::create_directories(dir_.file("watcher"));
  ChildProcess watcher({"/usr/bin/python3", PROXYHOST_SNI_WATCHER}, desktop_.environment(), dir_.file("watcher"));
  ASSERT_TRUE(eventually([&] { return watcher.standardOutput().find("watching") != std::string::npos; }, 15s))
      << watcher.standardError();
  savedChoices("[Proxy]\nservices=Wi-Fi;\n");
  startWindowed();
  std::smatch registered;
  std::string heard;  // the match points into it
  ASSERT_TRUE(eventually(
      [&] {
        heard = watcher.standardOutput();
        return std::regex_search(heard, registered, std::regex("registered (\\S+) (\\S+)"));
      },
      15s))
      << watcher.standardOutput() << host_->standardError();
  const std::string item = registered[1];
  auto call = [&](const std::string& path, const std::string& method, std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/gdbus", "call", "--session", "--dest", item,
                                     "--object-path",  path,   "--method",  method};
    argv.insert(argv.end(), args.begin(), args.end());
    return desktop_.tool(argv);
  };
  const std::string layout = call("/MenuBar", "com.canonical.dbusmenu.GetLayout", {"0", "--", "-1", "@as []"});
  for (const char* label : {"'System proxy'", "'Show ProxyHost'", "'Quit'"}) {
    EXPECT_NE(layout.find(label), std::string::npos) << layout;
  }
  EXPECT_NE(layout.find("'toggle-state': <0>"), std::string::npos) << layout;
  EXPECT_NE(
      call("/StatusNotifierItem", "org.freedesktop.DBus.Properties.Get", {"org.kde.StatusNotifierItem", "IconName"})
          .find("disabled"),
      std::string::npos);

  call("/MenuBar", "com.canonical.dbusmenu.Event", {"1", "clicked", "<''>", "0"});
  EXPECT_TRUE(eventually(
      [&] {
        return networksetup({"-getwebproxy", "Wi-Fi"}).starts_with("Enabled: Yes");
      },
      20s))
      << host_->standardError();
  EXPECT_TRUE(eventually(
      [&] {
        return call("/MenuBar", "com.canonical.dbusmenu.GetLayout", {"0", "--", "-1", "@as []"})
                   .find("'toggle-state': <1>") != std::string::npos;
      },
      15s));

  call("/MenuBar", "com.canonical.dbusmenu.Event", {"3", "clicked", "<''>", "0"});
  auto status = host_->wait(30s);
  ASSERT_TRUE(status) << "Quit in the tray menu did not end the host";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << host_->standardError();
  EXPECT_NE(networksetup({"-getwebproxy", "Wi-Fi"}).find("Enabled: No"), std::string::npos) << "no cleanup";
}

// Without a watcher there is no tray, said once; the host goes on as before.
TEST_F(InterfaceEndToEnd, WithoutAWatcherThereIsNoTrayAndOneLine) {
  startWindowed();
  EXPECT_TRUE(
      eventually([&] { return host_->standardError().find("no StatusNotifierWatcher") != std::string::npos; }, 15s))
      << host_->standardError();
  desktop_.closeWindow(kTitle);
  ASSERT_TRUE(eventually([&] { return desktop_.shownWindows(kTitle).empty(); }, 10s));
  EXPECT_FALSE(host_->wait(0ms));
  EXPECT_EQ(callOver(*client_, "launch_at_startup", "launchAtStartupIsEnabled"),
            testing_support::Reply(EncodableValue(false)));
}

}  // namespace
