// The host under macsim for the shutdown tests: its state folder, its engine link, and readers of
// the networksetup stand-in's run log.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/HostProcess.h"

namespace shutdown_e2e {

using RunLog = std::vector<std::vector<std::string>>;
inline const std::string kTool = "/usr/sbin/networksetup";

// The link is served before launching ends; a channel's answer comes from the application loop,
// which runs only after it. True once such an answer came: the host is armed.
bool waitUntilArmed(enginelink::LinkClient& client);

// One cleanup over "Wi-Fi" and "Office's LAN", `times` over.
RunLog cleanups(int times);

class ShutdownEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string state() const { return dir_.file("state"); }
  // Enabled: "Wi-Fi" and "Office's LAN"; "Ethernet", "Thunderbolt Bridge", "Bluetooth PAN" disabled.
  void prepareTwoServices();
  void startHost(std::map<std::string, std::string> env = {}, bool connect = true);
  // Both services on, through the privileged proxy channel with the authorization approved.
  void switchProxiesOn();
  // Runs the stand-in directly on the host's state, as a person looking at the settings would.
  std::string networksetup(const std::vector<std::string>& args);
  // "Yes|No host:port" for the web, secure web and SOCKS proxies of `service`.
  std::string proxySummary(const std::string& service);
  // The runs of the tool by its macOS path (the host's own), in order.
  RunLog hostRuns() const;
  // The host's runs after its last run that set a proxy state on.
  RunLog runsAfterTheLastSetRun() const;

  testing_support::TempDir dir_;
  std::unique_ptr<testing_support::ChildProcess> host_;
  std::unique_ptr<enginelink::LinkClient> client_;
};

}  // namespace shutdown_e2e
