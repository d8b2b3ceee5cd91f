// build/bin/networksetup as a process: its state folder, run log, racing runs and the bytes of argv.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/support/TestSupport.h"
#include "tests/tools/ToolProcess.h"
#include "tools/networksetup/RunLog.h"

namespace {

using testing_support::TempDir;
using tools_testing::runTool;
using tools_testing::ToolOptions;
using tools_testing::ToolProcess;
using tools_testing::ToolResult;
using tools_testing::withEnvironment;
using Args = std::vector<std::string>;

const std::string kNetworkSetup = NETWORKSETUP_BIN;

// The simulated world, its state in `folder`.
tools_testing::Environment simulatedIn(const std::string& folder) {
  return {{"NETWORKSETUP_STATE_DIR", folder}, {"NETWORKSETUP_WORLD", "simulated"}};
}

class NetworkSetupProcess : public testing::Test {
 protected:
  ToolResult run(Args args) {
    args.insert(args.begin(), kNetworkSetup);
    ran_.push_back(args);
    return runTool(args, withEnvironment(simulatedIn(dir_.path())));
  }
  TempDir dir_;
  std::vector<Args> ran_;
};

TEST_F(NetworkSetupProcess, SeparatesItsStreamsAndStatusesAsTheMacOSToolDoes) {
  const ToolResult listing = run({"-listallnetworkservices"});
  EXPECT_EQ(listing.exitCode(), 0);
  EXPECT_EQ(listing.standardOutput,
            "An asterisk (*) denotes that a network service is disabled.\n"
            "Wi-Fi\nEthernet\nThunderbolt Bridge\n*Bluetooth PAN\n");
  const ToolResult unknown = run({"-setwebproxystate", "Nope", "on"});
  EXPECT_EQ(unknown.exitCode(), 4);
  EXPECT_EQ(unknown.standardOutput,
            "Nope is not a recognized network service.\n** Error: The parameters were not valid.\n");
  EXPECT_EQ(unknown.standardError, "");
  const ToolResult usage = run({"-setwebproxystate", "Wi-Fi"});
  EXPECT_EQ(usage.exitCode(), 2);
  EXPECT_EQ(usage.standardOutput, "");
  EXPECT_NE(usage.standardError.find("Usage: networksetup -setwebproxystate"), std::string::npos);
}

TEST_F(NetworkSetupProcess, KeepsChangesBetweenRunsAndLogsEveryRunInOrder) {
  run({"-setwebproxy", "Wi-Fi", "127.0.0.1", "8080"});
  run({"-bogus"});
  run({"-setwebproxystate", "Wi-Fi", "on"});
  run({"-getwebproxy", "Nope"});
  const ToolResult get = run({"-getwebproxy", "Wi-Fi"});
  EXPECT_EQ(get.standardOutput, "Enabled: Yes\nServer: 127.0.0.1\nPort: 8080\nAuthenticated Proxy Enabled: 0\n");
  EXPECT_EQ(networksetup::readRunLog(dir_.path()), ran_);
  EXPECT_TRUE(testing_support::readFile(dir_.file("runs.log"))
                  .starts_with("[\"" + kNetworkSetup + "\",\"-setwebproxy\",\"Wi-Fi\",\"127.0.0.1\",\"8080\"]\n"));
}

TEST_F(NetworkSetupProcess, AwkwardNamesRoundTripThroughSetGetListAndTheLog) {
  const Args names = {
      "Office's LAN", "say \"hi\" $HOME `id`",      "back\\slash \\n", "two\nlines", "*starred", "Café 😀",
      " padded ",     std::string("raw \xff byte"), "-setwebproxy",    "Empty",      ""};
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const std::string host = "h'" + name;
    ASSERT_EQ(run({"-createnetworkservice", name, "Ethernet"}).exitCode(), 0);
    ASSERT_EQ(run({"-setsocksfirewallproxy", name, host, "1080"}).exitCode(), 0);
    ASSERT_EQ(run({"-setproxybypassdomains", name, name, "*.local"}).exitCode(), 0);
    EXPECT_EQ(run({"-getsocksfirewallproxy", name}).standardOutput,
              "Enabled: No\nServer: " + host + "\nPort: 1080\nAuthenticated Proxy Enabled: 0\n");
    EXPECT_EQ(run({"-getproxybypassdomains", name}).standardOutput, name + "\n*.local\n");
    EXPECT_NE(run({"-listallnetworkservices"}).standardOutput.find("\n" + name + "\n"), std::string::npos);
  }
  EXPECT_EQ(networksetup::readRunLog(dir_.path()), ran_);
}

TEST_F(NetworkSetupProcess, RacingRunsLoseNoChange) {
  constexpr int kWorkers = 8, kRunsEach = 25;
  // Each worker creates its own service, then cycles through four settings of it; the last value of
  // each setting must survive, whatever order the workers' runs took.
  const std::string script =
      "ns=$1; s=\"svc $2\"; \"$ns\" -createnetworkservice \"$s\" Ethernet || exit 1\n"
      "k=1; while [ $k -lt " +
      std::to_string(kRunsEach) +
      " ]; do\n"
      "  case $((k % 4)) in\n"
      "    0) \"$ns\" -setwebproxy \"$s\" web$k $k ;;\n"
      "    1) \"$ns\" -setsecurewebproxy \"$s\" secure$k $k ;;\n"
      "    2) \"$ns\" -setsocksfirewallproxy \"$s\" socks$k $k ;;\n"
      "    3) \"$ns\" -setproxybypassdomains \"$s\" bypass$k ;;\n"
      "  esac || exit 1\n"
      "  k=$((k + 1))\n"
      "done\n";
  std::vector<std::unique_ptr<ToolProcess>> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.push_back(
        std::make_unique<ToolProcess>(Args{"/bin/sh", "-c", script, "sh", kNetworkSetup, std::to_string(i)},
                                      withEnvironment(simulatedIn(dir_.path()))));
  }
  for (auto& worker : workers) {
    auto result = worker->finish(std::chrono::seconds(60));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode(), 0) << result->standardError;
  }
  for (int i = 0; i < kWorkers; ++i) {
    const std::string s = "svc " + std::to_string(i);
    EXPECT_EQ(run({"-getwebproxy", s}).standardOutput,
              "Enabled: No\nServer: web24\nPort: 24\nAuthenticated Proxy Enabled: 0\n");
    EXPECT_EQ(run({"-getsecurewebproxy", s}).standardOutput,
              "Enabled: No\nServer: secure21\nPort: 21\nAuthenticated Proxy Enabled: 0\n");
    EXPECT_EQ(run({"-getsocksfirewallproxy", s}).standardOutput,
              "Enabled: No\nServer: socks22\nPort: 22\nAuthenticated Proxy Enabled: 0\n");
    EXPECT_EQ(run({"-getproxybypassdomains", s}).standardOutput, "bypass23\n");
  }
  const auto log = networksetup::readRunLog(dir_.path());
  ASSERT_TRUE(log);
  EXPECT_EQ(log->size(), static_cast<size_t>(kWorkers * kRunsEach) + ran_.size());
}

TEST_F(NetworkSetupProcess, MakesAChosenStateFolderButNeverTheFoldersAboveIt) {
  const ToolResult nested =
      runTool({kNetworkSetup, "-listallnetworkservices"}, withEnvironment(simulatedIn(dir_.file("a/b"))));
  EXPECT_EQ(nested.exitCode(), 1);
  struct stat info {};
  EXPECT_NE(stat(dir_.file("a").c_str(), &info), 0);
  EXPECT_EQ(
      runTool({kNetworkSetup, "-listallnetworkservices"}, withEnvironment(simulatedIn(dir_.file("a")))).exitCode(), 0);
}

TEST_F(NetworkSetupProcess, AnUnreadableStateFileIsReportedAndLeftAlone) {
  std::ofstream(dir_.file("state.plist")) << "<plist>not a state</plist>";
  const ToolResult result = run({"-setwebproxystate", "Wi-Fi", "on"});
  EXPECT_EQ(result.exitCode(), 1);
  EXPECT_NE(result.standardError.find("state.plist is not a networksetup state property list"), std::string::npos);
  EXPECT_EQ(testing_support::readFile(dir_.file("state.plist")), "<plist>not a state</plist>");
  EXPECT_EQ(networksetup::readRunLog(dir_.path()), ran_);
}

}  // namespace
