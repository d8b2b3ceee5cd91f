// The host under macsim, driven over its engine link: proxies switched on through the privileged
// proxy channel, then the process ended by SIGTERM or quit, with the networksetup stand-in's run
// log and state showing what the shutdown cleanup did.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "tests/e2e/MacsimHost.h"

namespace {

using namespace std::chrono_literals;
using testing_support::RunLog;
const std::string& kTool = testing_support::kNetworkSetupTool;

// One cleanup over "Wi-Fi" and "Office's LAN", `times` over.
RunLog cleanups(int times) {
  RunLog runs;
  for (int i = 0; i < times; ++i) {
    runs.push_back({kTool, "-listallnetworkservices"});
    for (const char* service : {"Wi-Fi", "Office's LAN"}) {
      for (const char* setting : {"-setwebproxystate", "-setsecurewebproxystate", "-setsocksfirewallproxystate"}) {
        runs.push_back({kTool, setting, service, "off"});
      }
    }
  }
  return runs;
}

class ShutdownEndToEnd : public testing_support::MacsimHostTest {
 protected:
  // Enabled: "Wi-Fi" and "Office's LAN"; "Ethernet", "Thunderbolt Bridge", "Bluetooth PAN" disabled.
  void prepareTwoServices() {
    networksetup({"-createnetworkservice", "Office's LAN", "Ethernet"});
    networksetup({"-setnetworkserviceenabled", "Ethernet", "off"});
    networksetup({"-setnetworkserviceenabled", "Thunderbolt Bridge", "off"});
  }

  // Both services on, through the privileged proxy channel with the authorization approved.
  void switchProxiesOn() {
    ASSERT_TRUE(client_);
    EncodableMap on{{"services", testing_support::stringList({"Wi-Fi", "Office's LAN"})},
                    {"host", "127.0.0.1"},
                    {"port", int32_t{7890}},
                    {"socks", int32_t{7891}},
                    {"bypass", testing_support::stringList({"localhost"})}};
    ASSERT_EQ(testing_support::callOver(*client_, testing_support::kPrivilegedProxyChannel, "setProxyElevated",
                                        EncodableValue(std::move(on)), 60s),
              testing_support::Reply(EncodableValue(true)))
        << host_->standardError();
    ASSERT_EQ(proxySummary("Office's LAN"), "Yes 127.0.0.1:7890 Yes 127.0.0.1:7890 Yes 127.0.0.1:7891");
  }

  // "Yes|No host:port" for the web, secure web and SOCKS proxies of `service`.
  std::string proxySummary(const std::string& service) {
    std::string summary;
    for (const char* get : {"-getwebproxy", "-getsecurewebproxy", "-getsocksfirewallproxy"}) {
      std::string text = networksetup({get, service});
      auto field = [&](const std::string& name) {
        auto at = text.find(name + ": ");
        if (at == std::string::npos) return std::string("?");
        at += name.size() + 2;
        return text.substr(at, text.find('\n', at) - at);
      };
      if (!summary.empty()) summary += " ";
      summary += field("Enabled") + " " + field("Server") + ":" + field("Port");
    }
    return summary;
  }

  // The host's runs after its last run that set a proxy state on.
  RunLog runsAfterTheLastSetRun() const {
    RunLog runs = hostRuns();
    size_t last = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
      if (runs[i].size() == 4 && runs[i][3] == "on") last = i + 1;
    }
    return RunLog(runs.begin() + static_cast<long>(last), runs.end());
  }
};

TEST_F(ShutdownEndToEnd, SigtermRunsOneCleanupAndExitsZeroKeepingTheHosts) {
  prepareTwoServices();
  startHost({}, HostReady::armed);
  switchProxiesOn();

  host_->signal(SIGTERM);
  auto status = host_->wait(20s);
  ASSERT_TRUE(status) << "the host did not end";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(1));
  for (const char* service : {"Wi-Fi", "Office's LAN"}) {
    EXPECT_EQ(proxySummary(service), "No 127.0.0.1:7890 No 127.0.0.1:7890 No 127.0.0.1:7891") << service;
  }
}

TEST_F(ShutdownEndToEnd, QuitRunsTwoCleanupsAndExitsZero) {
  prepareTwoServices();
  startHost({}, HostReady::armed);
  switchProxiesOn();

  host_->signal(SIGINT);
  auto status = host_->wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(2));
  EXPECT_EQ(proxySummary("Wi-Fi"), "No 127.0.0.1:7890 No 127.0.0.1:7890 No 127.0.0.1:7891");
}

TEST_F(ShutdownEndToEnd, SigtermBeforeLaunchingHasFinishedHasTheDefaultEffect) {
  prepareTwoServices();
  std::string gate = dir_.file("launch-held");
  startHost({{"PROXYHOST_TEST_HOLD_LAUNCH", gate}}, HostReady::started, LAUNCH_HELD_HOST);
  auto deadline = std::chrono::steady_clock::now() + 15s;
  while (!std::filesystem::exists(gate) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(std::filesystem::exists(gate)) << host_->standardError();

  host_->signal(SIGTERM);
  auto status = host_->wait(10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
  EXPECT_TRUE(hostRuns().empty());
}

// Polls `path` (a file another process appends lines to) until it holds `line`.
bool waitForLine(const std::string& path, const std::string& line, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);) {
      if (l == line) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

TEST_F(ShutdownEndToEnd, PowerOffFromLogindRunsACleanupUnderADelayLockThenQuitRunsTwoMore) {
  // A private bus with a stand-in of logind's manager on it.
  std::string busPath = dir_.file("bus");
  std::ofstream(dir_.file("bus.conf"))
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><listen>unix:path="
      << busPath
      << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
         "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
  testing_support::ChildProcess bus({"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + dir_.file("bus.conf")}, {},
                                    dir_.file("host"));
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!std::filesystem::exists(busPath) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(std::filesystem::exists(busPath)) << bus.standardError();
  const std::string address = "unix:path=" + busPath;
  const std::string events = dir_.file("logind.events");
  testing_support::ChildProcess logind({FAKE_LOGIND, events}, {{"DBUS_SYSTEM_BUS_ADDRESS", address}}, dir_.file("host"));
  ASSERT_TRUE(waitForLine(events, "ready", 10s)) << logind.standardError();

  prepareTwoServices();
  startHost({{"DBUS_SYSTEM_BUS_ADDRESS", address}}, HostReady::armed);
  switchProxiesOn();
  ASSERT_TRUE(waitForLine(events, "inhibit shutdown ProxyHost delay", 10s)) << host_->standardError();

  logind.signal(SIGUSR1);
  ASSERT_TRUE(waitForLine(events, "released", 20s)) << host_->standardError();
  // The lock went only after the cleanup: by then all its runs are in the log.
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(1));
  EXPECT_EQ(proxySummary("Wi-Fi"), "No 127.0.0.1:7890 No 127.0.0.1:7890 No 127.0.0.1:7891");

  host_->signal(SIGINT);
  auto status = host_->wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(3));
  logind.signal(SIGTERM);
  bus.signal(SIGTERM);
}

TEST_F(ShutdownEndToEnd, WithoutTheToolSigtermStillExitsZeroSilently) {
  // Not under macsim: /usr/sbin/networksetup does not exist, every start fails.
  ASSERT_FALSE(std::filesystem::exists(kTool));
  testing_support::HostProcess host({{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir_.file("no-bus")}});
  auto client = host.connect();
  ASSERT_TRUE(client);
  ASSERT_TRUE(testing_support::waitUntilArmed(*client));
  host.process().signal(SIGTERM);
  auto status = host.process().wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  std::string log = host.process().standardError();
  EXPECT_EQ(log.find("networksetup"), std::string::npos) << log;
  // The missing bus is said once, and the host runs on.
  auto first = log.find("no system bus");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("no system bus", first + 1), std::string::npos) << log;
}

// SIGTERM at random moments: during start-up, idle, twice in a row, and while the quit's own
// cleanups run. Whatever the moment, the host ends within the bound; once it is armed it ends
// with status 0 and the proxies off; before that, it dies of the signal without a cleanup.
TEST_F(ShutdownEndToEnd, StormOfSigtermsNeverHangsAndLeavesTheProxiesOff) {
  const int runs = std::getenv("SHUTDOWN_STORM_RUNS") ? std::atoi(std::getenv("SHUTDOWN_STORM_RUNS")) : 100;
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  prepareTwoServices();
  // Signals land from the first instant to well past the moment the host is armed, however long
  // start-up takes in this build.
  auto startedAt = std::chrono::steady_clock::now();
  startHost({}, HostReady::armed);
  const auto armedAfter = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startedAt);
  host_->signal(SIGTERM);
  ASSERT_TRUE(host_->wait(20s));
  client_.reset();
  const unsigned window = static_cast<unsigned>(armedAfter.count() * 2 + 1);
  int exitedZero = 0, diedEarly = 0;
  for (int i = 0; i < runs && !HasFailure(); ++i) {
    for (const char* setting : {"-setwebproxystate", "-setsecurewebproxystate", "-setsocksfirewallproxystate"}) {
      networksetup({setting, "Wi-Fi", "on"});
    }
    std::filesystem::remove(state() + "/runs.log");
    startHost({}, HostReady::started);
    int mode = static_cast<int>(random() % 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % window));
    if (mode == 2) {
      host_->signal(SIGINT);
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
    }
    host_->signal(SIGTERM);
    if (mode == 1) host_->signal(SIGTERM);

    auto status = host_->wait(20s);
    ASSERT_TRUE(status) << "run " << i << " (mode " << mode << ") hung";
    bool cleaned = !hostRuns().empty();
    if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) {
      ++exitedZero;
      EXPECT_TRUE(cleaned) << "run " << i;
      std::string summary = proxySummary("Wi-Fi");
      EXPECT_EQ(summary.find("Yes"), std::string::npos) << "run " << i << ": " << summary;
    } else {
      ++diedEarly;
      ASSERT_TRUE(WIFSIGNALED(*status)) << "run " << i << " status " << *status << host_->standardError();
      EXPECT_TRUE(WTERMSIG(*status) == SIGTERM || WTERMSIG(*status) == SIGINT) << "run " << i;
      EXPECT_FALSE(cleaned) << "run " << i << ": a cleanup began, so the host was armed";
    }
  }
  RecordProperty("exitedZero", exitedZero);
  RecordProperty("diedBeforeArmed", diedEarly);
  std::printf("storm: signals within %u ms of the start (armed after %lld ms)\n", window,
              static_cast<long long>(armedAfter.count()));
  std::printf("storm: %d runs, %d exited 0 after a cleanup, %d ended by the signal before being armed\n", runs,
              exitedZero, diedEarly);
}

}  // namespace
