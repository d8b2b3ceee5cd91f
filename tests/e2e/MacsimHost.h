// The host under macsim in its simulated world, for whole-process tests of what it does through
// networksetup: a state folder of the test's own for the stand-in, the host's engine link, and the
// stand-in's run log.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/HostProcess.h"

namespace testing_support {

// Each run of the stand-in, its arguments in order with the tool's path first.
using RunLog = std::vector<std::vector<std::string>>;
// The tool by its macOS path: only the host runs it so; the tests run the stand-in by its build path.
inline const std::string kNetworkSetupTool = "/usr/sbin/networksetup";
inline const std::string kPrivilegedProxyChannel = std::string(PROXYHOST_BUNDLE_ID) + "/privileged_proxy";

EncodableList stringList(const std::vector<std::string>& items);

class MacsimHostTest : public ::testing::Test {
 protected:
  enum class HostReady { started, serving, armed };

  void SetUp() override;

  std::string state() const { return dir_.file("state"); }
  // The hosts' XDG_STATE_HOME, where their proxy record lives.
  std::string stateHome() const { return dir_.file("xdg-state"); }
  // Starts `binary` under macsim with `env` added; the authorization is approved unless `env`
  // says otherwise. Waits until the host is as ready as `until` says (serving: client_ is set).
  void startHost(std::map<std::string, std::string> env = {}, HostReady until = HostReady::serving,
                 const std::string& binary = PROXYHOST_BIN);
  // Starts the host once more in the desktop `desktopEnvironment` describes, as the desktop entry
  // would, with this test's engine link, state and networksetup world (a cleanup it ran would keep
  // to the test's folder, and show in hostRuns()); expects it to find the running host, ask it to
  // show its window, and end with status 0.
  void expectASecondStartReachesTheRunningHost(std::map<std::string, std::string> desktopEnvironment);
  // Runs the stand-in directly on the host's state (or the one in `stateFolder`), as a person
  // looking at the settings would.
  std::string networksetup(const std::vector<std::string>& args, int expectedStatus = 0);
  std::string networksetupIn(const std::string& stateFolder, const std::vector<std::string>& args,
                             int expectedStatus = 0);
  // The host's own runs (of kNetworkSetupTool) recorded so far, in order.
  RunLog hostRuns() const;

  TempDir dir_;
  // False: the host's networksetup acts in the real world (set before startHost).
  bool simulated_ = true;
  // What macsim is started under, when not directly (`ip netns exec NS`, for a network of the test's).
  std::vector<std::string> launcher_;
  std::unique_ptr<ChildProcess> host_;
  std::unique_ptr<enginelink::LinkClient> client_;
};

// The runs of the product's networksetup (named by its macOS path) in the run log of `stateFolder`.
RunLog productRunsIn(const std::string& stateFolder);

}  // namespace testing_support
