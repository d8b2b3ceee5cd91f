// The host under macsim, driven over its engine link, for the shutdown and guard tests: two
// services to switch on, what each of them has on, the guards and the record.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "tests/e2e/MacsimHost.h"

namespace shutdown_testing {

using namespace std::chrono_literals;
using testing_support::eventually;
using testing_support::RunLog;
inline const std::string& kTool = testing_support::kNetworkSetupTool;

// One cleanup over "Wi-Fi" and "Office's LAN", `times` over.
inline RunLog cleanups(int times) {
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

  // Both services on: 127.0.0.1, ports 7890 and 7891, bypassing localhost.
  static EncodableMap enableArguments() {
    return EncodableMap{{"services", testing_support::stringList({"Wi-Fi", "Office's LAN"})},
                        {"host", "127.0.0.1"},
                        {"port", int32_t{7890}},
                        {"socks", int32_t{7891}},
                        {"bypass", testing_support::stringList({"localhost"})}};
  }

  // Both services on, through the privileged proxy channel with the authorization approved.
  void switchProxiesOn() {
    ASSERT_TRUE(client_);
    ASSERT_EQ(testing_support::callOver(*client_, testing_support::kPrivilegedProxyChannel, "setProxyElevated",
                                        EncodableValue(enableArguments()), 60s),
              testing_support::Reply(EncodableValue(true)))
        << host_->standardError();
    ASSERT_EQ(proxySummary("Office's LAN"), "Yes 127.0.0.1:7890 Yes 127.0.0.1:7890 Yes 127.0.0.1:7891");
  }

  // "Yes|No host:port" for the web, secure web and SOCKS proxies of `service` (in the host's
  // state, or the one in `stateFolder`).
  std::string proxySummary(const std::string& service) { return proxySummaryIn(state(), service); }
  std::string proxySummaryIn(const std::string& stateFolder, const std::string& service) {
    std::string summary;
    for (const char* get : {"-getwebproxy", "-getsecurewebproxy", "-getsocksfirewallproxy"}) {
      std::string text = networksetupIn(stateFolder, {get, service});
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

  static EncodableMap disableArguments() {
    return EncodableMap{{"services", testing_support::stringList({"Wi-Fi", "Office's LAN"})}};
  }
  // Sends a privileged call without waiting; its id for waitReply.
  uint32_t post(const std::string& method, EncodableMap arguments) {
    auto call = StandardMethodCodec::getInstance().encodeMethodCall({method, EncodableValue(std::move(arguments))});
    auto id = client_->post(testing_support::kPrivilegedProxyChannel, call);
    EXPECT_TRUE(id) << id.error().message();
    return id.value_or(0);
  }
  testing_support::Reply answer(uint32_t id) {
    auto reply = client_->waitReply(id, 60s);
    if (!reply) {
      ADD_FAILURE() << "no answer: " << reply.error().message();
      return testing_support::NotImplemented{};
    }
    return testing_support::decodeReply(*reply);
  }

  // True when no state of either service is on.
  bool allOff() { return allOffIn(state()); }
  bool allOffIn(const std::string& stateFolder) {
    return (proxySummaryIn(stateFolder, "Wi-Fi") + proxySummaryIn(stateFolder, "Office's LAN")).find("Yes") ==
           std::string::npos;
  }

  // The guards watching `host` (proxyhost-guard processes started with its pid).
  static std::vector<pid_t> guardsOf(pid_t host) {
    std::vector<pid_t> guards;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      // A process that ended meanwhile reads as empty and matches nothing.
      const std::string cmdline = testing_support::readFile(entry.path() / "cmdline");
      std::string self = cmdline.substr(0, cmdline.find('\0'));
      std::string first = cmdline.size() > self.size() ? cmdline.substr(self.size() + 1) : "";
      first = first.substr(0, first.find('\0'));
      if (self.ends_with("/proxyhost-guard") && first == std::to_string(host)) guards.push_back(std::stoi(name));
    }
    return guards;
  }

  // The guards of `host` that watch it: started by its launcher (which the host waits for), not by
  // the host itself.
  static std::vector<pid_t> watchingGuardsOf(pid_t host) {
    std::vector<pid_t> guards = guardsOf(host);
    std::erase_if(guards, [&](pid_t guard) {
      const std::string stat = testing_support::readFile("/proc/" + std::to_string(guard) + "/stat");
      const size_t close = stat.rfind(')');
      // "pid (comm) state ppid ...": a process that ended meanwhile reads as empty.
      int parent = 0;
      return close == std::string::npos || std::sscanf(stat.c_str() + close + 1, " %*c %d", &parent) != 1 ||
             parent == host;
    });
    return guards;
  }

  std::string recordPath() const { return stateHome() + "/" + PROXYHOST_BUNDLE_ID + "/proxy-record"; }
  bool recordPresent() const { return std::filesystem::exists(recordPath()); }

  // A storm's random moments, from a seed that every failure inside the storm names; the
  // environment variable `runsVariable` sets its number of runs in place of `defaultRuns`.
  struct Storm {
    Storm(const char* runsVariable, int defaultRuns)
        : runs(std::getenv(runsVariable) ? std::atoi(std::getenv(runsVariable)) : defaultRuns) {}
    const int runs;
    const unsigned seed = std::random_device{}();
    std::mt19937 random{seed};
    ::testing::ScopedTrace trace{__FILE__, __LINE__, "seed " + std::to_string(seed)};
  };

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

}  // namespace shutdown_testing
