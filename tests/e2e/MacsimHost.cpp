#include "tests/e2e/MacsimHost.h"

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/ProcessRun.h"

namespace testing_support {

namespace {
const std::string kBinDir = PROXYHOST_BIN_DIR;
}  // namespace

EncodableList stringList(const std::vector<std::string>& items) {
  EncodableList out;
  for (const auto& s : items) out.emplace_back(s);
  return out;
}

void MacsimHostTest::SetUp() {
  for (const char* tool : {"macsim", "networksetup"}) {
    ASSERT_TRUE(std::filesystem::exists(kBinDir + "/" + tool)) << kBinDir << "/" << tool << " is not built";
  }
  std::filesystem::create_directories(state());
  std::filesystem::create_directories(dir_.file("host"));
  std::filesystem::create_directories(stateHome());
}

void MacsimHostTest::startHost(std::map<std::string, std::string> env, HostReady until, const std::string& binary) {
  env.emplace("PROXYHOST_ENGINE_SOCKET", dir_.file("engine.sock"));
  env.emplace("PROXYHOST_AUTHORIZATION", "approve");
  // The proxy record and everything else the host keeps between runs: the test's, never the user's.
  env.emplace("XDG_STATE_HOME", stateHome());
  client_.reset();
  std::vector<std::string> argv = {kBinDir + "/macsim", "--state", state(), "--", binary};
  if (simulated_) argv.insert(argv.begin() + 1, "--simulated");
  argv.insert(argv.begin(), launcher_.begin(), launcher_.end());
  host_ = std::make_unique<ChildProcess>(argv, env, dir_.file("host"));
  if (until == HostReady::started) return;
  std::string error;
  client_ = connectWhileRunning(*host_, dir_.file("engine.sock"), std::chrono::seconds(15), &error);
  ASSERT_TRUE(client_) << "the host under macsim never served its link: " << error << "\n" << host_->standardError();
  if (until == HostReady::armed) {
    ASSERT_TRUE(waitUntilArmed(*client_)) << host_->standardError();
  }
}

void MacsimHostTest::expectASecondStartReachesTheRunningHost(std::map<std::string, std::string> env) {
  env["PROXYHOST_ENGINE_SOCKET"] = dir_.file("engine.sock");
  env["XDG_STATE_HOME"] = stateHome();
  env["NETWORKSETUP_STATE_DIR"] = state();
  env["NETWORKSETUP_WORLD"] = simulated_ ? "simulated" : "real";
  std::filesystem::create_directories(dir_.file("second"));
  ChildProcess second({PROXYHOST_BIN}, env, dir_.file("second"));
  auto status = second.wait(std::chrono::seconds(20));
  ASSERT_TRUE(status) << "the second start did not end";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << second.standardError();
  EXPECT_NE(second.standardError().find("already running"), std::string::npos) << second.standardError();
}

std::string MacsimHostTest::networksetup(const std::vector<std::string>& args, int expectedStatus) {
  return networksetupIn(state(), args, expectedStatus);
}

std::string MacsimHostTest::networksetupIn(const std::string& stateFolder, const std::vector<std::string>& args,
                                           int expectedStatus) {
  std::vector<std::string> argv = {"/usr/bin/env", "NETWORKSETUP_WORLD=simulated",
                                   "NETWORKSETUP_STATE_DIR=" + stateFolder, kBinDir + "/networksetup"};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessRun run = runProcess(argv);
  EXPECT_TRUE(run.started) << run.startError;
  EXPECT_EQ(run.exitStatus, expectedStatus) << args[0] << ": " << run.standardOutput << run.standardError;
  return run.standardOutput;
}

RunLog MacsimHostTest::hostRuns() const { return productRunsIn(dir_.file("state")); }

RunLog productRunsIn(const std::string& stateFolder) {
  RunLog runs;
  std::ifstream in(stateFolder + "/runs.log");
  for (std::string line; std::getline(in, line);) {
    auto parsed = nlohmann::json::parse(line, nullptr, false);
    if (!parsed.is_array()) {
      ADD_FAILURE() << "run log line is not a JSON array: " << line;
      continue;
    }
    auto run = parsed.get<std::vector<std::string>>();
    if (!run.empty() && run[0] == kNetworkSetupTool) runs.push_back(std::move(run));
  }
  return runs;
}

}  // namespace testing_support
