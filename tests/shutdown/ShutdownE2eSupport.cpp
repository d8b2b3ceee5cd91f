#include "tests/shutdown/ShutdownE2eSupport.h"

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/flutter/FlutterCodecs.h"
#include "platform/scripting/ProcessRun.h"

namespace shutdown_e2e {

using namespace std::chrono_literals;

namespace {
const std::string kBinDir = PROXYHOST_BIN_DIR;
const std::string kChannel = std::string(PROXYHOST_BUNDLE_ID) + "/privileged_proxy";

EncodableList list(const std::vector<std::string>& items) {
  EncodableList out;
  for (const auto& s : items) out.emplace_back(s);
  return out;
}
}  // namespace

bool waitUntilArmed(enginelink::LinkClient& client) {
  auto call = StandardMethodCodec::getInstance().encodeMethodCall({"launchAtStartupIsEnabled", EncodableValue()});
  std::string error;
  return client.call("launch_at_startup", call, 30s, &error).has_value();
}

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

void ShutdownEndToEnd::SetUp() {
  for (const char* tool : {"macsim", "networksetup"}) {
    ASSERT_TRUE(std::filesystem::exists(kBinDir + "/" + tool)) << kBinDir << "/" << tool << " is not built";
  }
  std::filesystem::create_directories(state());
  std::filesystem::create_directories(dir_.file("host"));
}

void ShutdownEndToEnd::TearDown() {
  if (host_ && !host_->wait(0ms)) {
    host_->signal(SIGKILL);
    host_->wait(10s);
  }
}

void ShutdownEndToEnd::prepareTwoServices() {
  networksetup({"-createnetworkservice", "Office's LAN", "Ethernet"});
  networksetup({"-setnetworkserviceenabled", "Ethernet", "off"});
  networksetup({"-setnetworkserviceenabled", "Thunderbolt Bridge", "off"});
}

void ShutdownEndToEnd::startHost(std::map<std::string, std::string> env, bool connect) {
  env.emplace("PROXYHOST_ENGINE_SOCKET", dir_.file("engine.sock"));
  env.emplace("PROXYHOST_AUTHORIZATION", "approve");
  host_ = std::make_unique<testing_support::ChildProcess>(
      std::vector<std::string>{kBinDir + "/macsim", "--simulated", "--state", state(), "--", PROXYHOST_BIN}, env, dir_.file("host"));
  if (!connect) return;
  std::string error;
  auto deadline = std::chrono::steady_clock::now() + 15s;
  while (!client_ && std::chrono::steady_clock::now() < deadline && !host_->wait(0ms)) {
    client_ = enginelink::LinkClient::connect(dir_.file("engine.sock"), 2s, &error);
    if (!client_) std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(client_) << "the host under macsim never served its link: " << error << "\n" << host_->standardError();
  ASSERT_TRUE(waitUntilArmed(*client_)) << host_->standardError();
}

void ShutdownEndToEnd::switchProxiesOn() {
  ASSERT_TRUE(client_);
  EncodableMap on{{"services", list({"Wi-Fi", "Office's LAN"})},
                  {"host", "127.0.0.1"},
                  {"port", int32_t{7890}},
                  {"socks", int32_t{7891}},
                  {"bypass", list({"localhost"})}};
  auto bytes = StandardMethodCodec::getInstance().encodeMethodCall({"setProxyElevated", EncodableValue(std::move(on))});
  std::string error;
  auto reply = client_->call(kChannel, bytes, 60s, &error);
  ASSERT_TRUE(reply) << error << host_->standardError();
  ASSERT_EQ(testing_support::decodeReply(*reply), testing_support::Reply(EncodableValue(true)));
  ASSERT_EQ(proxySummary("Office's LAN"), "Yes 127.0.0.1:7890 Yes 127.0.0.1:7890 Yes 127.0.0.1:7891");
}

std::string ShutdownEndToEnd::networksetup(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/env", "NETWORKSETUP_WORLD=simulated", "NETWORKSETUP_STATE_DIR=" + state(), kBinDir + "/networksetup"};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessRun run = runProcess(argv);
  EXPECT_TRUE(run.started && run.exitStatus == 0) << args[0] << ": " << run.standardOutput << run.standardError;
  return run.standardOutput;
}

std::string ShutdownEndToEnd::proxySummary(const std::string& service) {
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

RunLog ShutdownEndToEnd::hostRuns() const {
  RunLog runs;
  std::ifstream in(dir_.file("state/runs.log"));
  for (std::string line; std::getline(in, line);) {
    auto parsed = nlohmann::json::parse(line, nullptr, false);
    if (!parsed.is_array()) {
      ADD_FAILURE() << "run log line is not a JSON array: " << line;
      continue;
    }
    auto run = parsed.get<std::vector<std::string>>();
    if (!run.empty() && run[0] == kTool) runs.push_back(std::move(run));
  }
  return runs;
}

RunLog ShutdownEndToEnd::runsAfterTheLastSetRun() const {
  RunLog runs = hostRuns();
  size_t last = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].size() == 4 && runs[i][3] == "on") last = i + 1;
  }
  return RunLog(runs.begin() + static_cast<long>(last), runs.end());
}

}  // namespace shutdown_e2e
