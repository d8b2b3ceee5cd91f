// One enable of three services by a desktop user through polkit (real pkexec starting the product's
// privileged helper under an approving rule) against the same enable by a host that is root and
// runs the script itself, in one private system (tests/system/PrivateSystem.h), measured in the
// same run. Both act for the test user in that system's world: NetworkManager's mock devices as the
// services, the user's networksetup state and desktop. The helper trusts no environment, so
// NETWORKSETUP_WORLD or a state folder cannot reach its runs; the root host acts for the same user
// through SUDO_UID instead, so only the administrator path differs. The hosts are the build tree's,
// so pkexec answers for its generic action, which the rule approves.
//
// Where the time goes, each on its own: the call (proxyhostctl to a host and back), pkexec with
// polkit's authorization (pkexec /bin/true), the helper's view and shell (pkexec proxyhost-admin
// with `true`), the root host's view and shell (proxyhost-shell -c true); the script is what the
// root enable spends beyond its call and view. The same enable is timed once more right after:
// nothing changes then, so no desktop store is touched and the script is at its cheapest, which
// shows the administrator path's share at its largest.
//
//   administrator_bench [RUNS]          (9 runs by default; root)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/Median.h"
#include "tests/e2e/MacsimHost.h"
#include "tests/system/PrivateSystem.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tools_testing::Environment;
using tools_testing::runTool;
using tools_testing::ToolOptions;
using tools_testing::ToolProcess;
using tools_testing::ToolResult;

const std::string kBinDir = PROXYHOST_BIN_DIR;
const std::string kEnable = R"({"services": ["Ethernet", "Wi-Fi", "Ethernet 2"], "host": "127.0.0.1", "port": 7890,
                                "socks": 7891, "bypass": ["localhost", "*.local"]})";
const std::string kDisable = R"({"services": ["Ethernet", "Wi-Fi", "Ethernet 2"]})";
const std::string kSucceeded = "{\"success\": true}\n";

// Nothing of a test run or of the bench's caller may choose the world, the state or the answer.
const Environment kProductDefaults = {{"PROXYHOST_HEADLESS", "1"},
                                      {"NETWORKSETUP_STATE_DIR", std::nullopt},
                                      {"NETWORKSETUP_WORLD", std::nullopt},
                                      {"NETWORKSETUP_DESKTOP", std::nullopt},
                                      {"PROXYHOST_AUTHORIZATION", std::nullopt},
                                      {"PROXYHOST_ENGINE_SOCKET", std::nullopt}};

double millisecondsOf(const std::function<void()>& work) {
  const auto began = Clock::now();
  work();
  return std::chrono::duration<double, std::milli>(Clock::now() - began).count();
}

[[noreturn]] void stop(const std::string& why) {
  std::fprintf(stderr, "administrator_bench: %s\n", why.c_str());
  std::exit(1);
}

void expectSuccess(const std::string& what, const ToolResult& result, const std::string& output) {
  if (result.exitCode() != 0 || (!output.empty() && result.standardOutput != output)) {
    stop(what + " answered " + std::to_string(result.exitCode()) + ": " + result.standardOutput + result.standardError);
  }
}

// A host and the options its proxyhostctl calls it with.
struct Host {
  std::string name;
  ToolOptions options;
  std::unique_ptr<ToolProcess> process;

  ToolResult call(const std::string& channel, const std::string& method, const std::string& arguments) const {
    return runTool({PROXYHOSTCTL_BIN, "--timeout", "60", "call", channel, method, arguments}, options);
  }
  void start() {
    process = std::make_unique<ToolProcess>(std::vector<std::string>{PROXYHOST_BIN}, options);
    const auto deadline = Clock::now() + 20s;
    while (call("launch_at_startup", "launchAtStartupIsEnabled", "null").exitCode() != 0) {
      if (Clock::now() > deadline) stop("the " + name + " host never served");
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (geteuid() != 0) stop("needs root (a private system: mount namespaces, a system bus, setuid pkexec)");
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;

  system_testing::PrivateSystem system;
  if (!system.ready()) stop(system.problem());
  if (system.addEthernet("eth0").empty() || system.addWiFi("wlan0").empty() || system.addEthernet("eth1").empty()) {
    stop("the NetworkManager mock took no devices");
  }
  system.desktop().useOwnProxy();

  Environment userEnvironment = kProductDefaults;
  userEnvironment["XDG_STATE_HOME"] = std::nullopt;
  Host user{"user's", system.asUser(userEnvironment), nullptr};

  // Root's own folders stay untouched: the root host's record, login item and link live here.
  testing_support::TempDir rootHome;
  const std::string runtime = rootHome.file("run");
  ::mkdir(runtime.c_str(), 0700);
  Environment rootEnvironment = kProductDefaults;
  for (const auto& [name, value] : Environment{{"HOME", rootHome.path()},
                                               {"XDG_RUNTIME_DIR", runtime},
                                               {"XDG_CONFIG_HOME", rootHome.file("config")},
                                               {"XDG_STATE_HOME", rootHome.file("state")},
                                               {"XDG_DATA_HOME", rootHome.file("data")},
                                               {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                                               {"SUDO_UID", std::to_string(system.uid())},
                                               {"SUDO_GID", std::to_string(system.uid())},
                                               {"SUDO_USER", system.userName()}}) {
    rootEnvironment[name] = value;
  }
  Host root{"root", tools_testing::withEnvironment(rootEnvironment), nullptr};

  user.start();
  root.start();

  const std::string state = system.home() + "/.local/state/proxyhost/networksetup";
  size_t runsPerEnable = 0;
  std::vector<double> userEnable, rootEnable, userAgain, rootAgain, oneRun, call, authorization, helper, rootShell;
  ToolOptions userWithTrue = user.options;
  userWithTrue.input = "true";
  for (int i = 0; i < runs; ++i) {
    // Alternated, so a load that comes and goes weighs on both alike.
    for (Host* host : {&user, &root}) {
      ToolResult on;
      const size_t runsBefore = testing_support::productRunsIn(state).size();
      (host == &user ? userEnable : rootEnable).push_back(millisecondsOf([&] {
        on = host->call("/privileged_proxy", "setProxyElevated", kEnable);
      }));
      expectSuccess("the " + host->name + " enable", on, kSucceeded);
      runsPerEnable = testing_support::productRunsIn(state).size() - runsBefore;
      (host == &user ? userAgain : rootAgain).push_back(millisecondsOf([&] {
        on = host->call("/privileged_proxy", "setProxyElevated", kEnable);
      }));
      expectSuccess("the " + host->name + " enable again", on, kSucceeded);
      expectSuccess("the " + host->name + " disable", host->call("/privileged_proxy", "disableProxyElevated", kDisable),
                    kSucceeded);
    }
    oneRun.push_back(millisecondsOf([&] {
      expectSuccess("networksetup", runTool({kBinDir + "/networksetup", "-getwebproxy", "Ethernet"}, user.options), "");
    }));
    call.push_back(millisecondsOf(
        [&] { expectSuccess("a call", user.call("launch_at_startup", "launchAtStartupIsEnabled", "null"), ""); }));
    authorization.push_back(millisecondsOf([&] {
      expectSuccess("pkexec /bin/true", runTool({"/usr/bin/pkexec", "/bin/true"}, user.options), "");
    }));
    helper.push_back(millisecondsOf([&] {
      expectSuccess("pkexec proxyhost-admin",
                    runTool({"/usr/bin/pkexec", kBinDir + "/proxyhost-admin", "#bench"}, userWithTrue), "");
    }));
    rootShell.push_back(millisecondsOf([&] {
      expectSuccess("proxyhost-shell", runTool({kBinDir + "/proxyhost-shell", "-c", "true"}, root.options), "");
    }));
  }

  const double byUser = median(userEnable), byRoot = median(rootEnable);
  const double callMs = median(call), authorizationMs = median(authorization), helperMs = median(helper);
  const double rootShellMs = median(rootShell);
  std::printf(
      "one enable of 3 services (Ethernet, Wi-Fi, Ethernet 2 from NetworkManager; the user's desktop "
      "follows), median of %d:\n",
      runs);
  std::printf("  user host through polkit (pkexec, proxyhost-admin)  %8.1f ms\n", byUser);
  std::printf("  root host, its own shell (proxyhost-shell)          %8.1f ms\n", byRoot);
  std::printf("  ratio user / root                                   %8.2f x   (aim: at most 1.50)\n", byUser / byRoot);
  const double againByUser = median(userAgain), againByRoot = median(rootAgain);
  std::printf("the same enable again at once (nothing changes, no desktop store touched):\n");
  std::printf("  user host through polkit                            %8.1f ms\n", againByUser);
  std::printf("  root host                                           %8.1f ms\n", againByRoot);
  std::printf("  ratio user / root                                   %8.2f x\n", againByUser / againByRoot);
  std::printf("where the time goes (each alone, median):\n");
  std::printf("  the call: proxyhostctl to the host and back         %8.1f ms\n", callMs);
  std::printf("  pkexec and polkit's authorization (pkexec /bin/true) %7.1f ms\n", authorizationMs);
  std::printf("  the helper's view and shell (beyond pkexec)          %7.1f ms\n", helperMs - authorizationMs);
  std::printf("  the root host's view and shell (proxyhost-shell)     %7.1f ms\n", rootShellMs);
  std::printf("  the script (root enable - call - root's shell)       %7.1f ms\n", byRoot - callMs - rootShellMs);
  std::printf("  one networksetup run of the user's (-getwebproxy)    %7.1f ms; the enable runs it %zu times\n",
              median(oneRun), runsPerEnable);
  std::printf("  extra of the polkit path: expected %.1f ms (pkexec helper - root's shell), measured %.1f ms\n",
              helperMs - rootShellMs, byUser - byRoot);
  return 0;
}
