// The whole road of a proxy request: the host under macsim, driven over its engine link, its
// administrator runs going through the scripting stand-in, /bin/sh, base64 -D and bash into the
// networksetup stand-in, whose state and run log show what really happened.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/flutter/FlutterCodecs.h"
#include "platform/scripting/ProcessRun.h"
#include "tests/e2e/HostProcess.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::NotImplemented;
using testing_support::Reply;
using RunLog = std::vector<std::vector<std::string>>;

const std::string kBinDir = PROXYHOST_BIN_DIR;
const std::string kChannel = std::string(PROXYHOST_BUNDLE_ID) + "/privileged_proxy";
const std::string kTool = "/usr/sbin/networksetup";

EncodableList list(const std::vector<std::string>& items) {
  EncodableList out;
  for (const auto& s : items) out.emplace_back(s);
  return out;
}

Reply failed(const std::string& message) { return FlutterError{"failed", message, {}}; }

// The seven runs of the enable script for one service, as the run log records them.
RunLog enableRuns(const std::string& service, const std::string& host, const std::string& port,
                  const std::string& socks, const std::vector<std::string>& bypass) {
  std::vector<std::string> bypassRun = {kTool, "-setproxybypassdomains", service};
  bypassRun.insert(bypassRun.end(), bypass.begin(), bypass.end());
  return {{kTool, "-setwebproxy", service, host, port},
          {kTool, "-setsecurewebproxy", service, host, port},
          {kTool, "-setsocksfirewallproxy", service, host, socks},
          bypassRun,
          {kTool, "-setwebproxystate", service, "on"},
          {kTool, "-setsecurewebproxystate", service, "on"},
          {kTool, "-setsocksfirewallproxystate", service, "on"}};
}

RunLog disableRuns(const std::string& service) {
  return {{kTool, "-setwebproxystate", service, "off"},
          {kTool, "-setsecurewebproxystate", service, "off"},
          {kTool, "-setsocksfirewallproxystate", service, "off"}};
}

void append(RunLog& to, const RunLog& more) { to.insert(to.end(), more.begin(), more.end()); }

std::string proxyText(bool enabled, const std::string& server, int port) {
  return std::string("Enabled: ") + (enabled ? "Yes" : "No") + "\nServer: " + server + "\nPort: " +
         std::to_string(port) + "\nAuthenticated Proxy Enabled: 0\n";
}

class ProxyEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"macsim", "networksetup"}) {
      ASSERT_TRUE(std::filesystem::exists(kBinDir + "/" + tool)) << kBinDir << "/" << tool << " is not built";
    }
    std::filesystem::create_directories(state());
    std::filesystem::create_directories(dir_.file("host"));
  }

  void TearDown() override {
    if (!host_) return;
    host_->signal(SIGINT);
    auto status = host_->wait(15s);
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << host_->standardError();
  }

  std::string state() const { return dir_.file("state"); }

  // The host under macsim, with the authorization answer fixed as `authorization` says.
  void startHost(const std::string& authorization) {
    host_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{kBinDir + "/macsim", "--simulated", "--state", state(), "--", PROXYHOST_BIN},
        std::map<std::string, std::string>{{"PROXYHOST_ENGINE_SOCKET", dir_.file("engine.sock")},
                                           {"PROXYHOST_AUTHORIZATION", authorization}},
        dir_.file("host"));
    std::string error;
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!client_ && std::chrono::steady_clock::now() < deadline && !host_->wait(0ms)) {
      client_ = enginelink::LinkClient::connect(dir_.file("engine.sock"), 2s, &error);
      if (!client_) std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(client_) << "the host under macsim never served its link: " << error << "\n"
                         << host_->standardError();
  }

  Reply call(const std::string& method, EncodableMap arguments) {
    auto bytes = StandardMethodCodec::getInstance().encodeMethodCall({method, EncodableValue(std::move(arguments))});
    std::string error;
    auto reply = client_->call(kChannel, bytes, 60s, &error);
    if (!reply) {
      ADD_FAILURE() << method << ": no reply: " << error << "\n" << host_->standardError();
      return NotImplemented{};
    }
    return testing_support::decodeReply(*reply);
  }

  // Runs the stand-in directly on the same state, as a person looking at the settings would.
  std::string networksetup(const std::vector<std::string>& args, int expectedStatus = 0) {
    std::vector<std::string> argv = {"/usr/bin/env", "NETWORKSETUP_WORLD=simulated", "NETWORKSETUP_STATE_DIR=" + state(), kBinDir + "/networksetup"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessRun run = runProcess(argv);
    EXPECT_TRUE(run.started) << run.startError;
    EXPECT_EQ(run.exitStatus, expectedStatus) << args[0] << ": " << run.standardOutput << run.standardError;
    return run.standardOutput;
  }

  // The runs recorded so far; each line of the log is a JSON array of the arguments.
  RunLog runLog() const {
    RunLog runs;
    std::ifstream in(dir_.file("state/runs.log"));
    std::string line;
    while (std::getline(in, line)) {
      auto parsed = nlohmann::json::parse(line, nullptr, false);
      if (!parsed.is_array()) {
        ADD_FAILURE() << "run log line is not a JSON array: " << line;
        continue;
      }
      runs.push_back(parsed.get<std::vector<std::string>>());
    }
    return runs;
  }

  // The runs of the tool by its macOS path, which only the host's scripts use: the test's own
  // runs go to the stand-in by its build path.
  RunLog elevatedRuns() const {
    RunLog runs;
    for (auto& run : runLog()) {
      if (!run.empty() && run[0] == kTool) runs.push_back(std::move(run));
    }
    return runs;
  }

  std::string allProxies(const std::string& service) {
    std::string text = networksetup({"-getwebproxy", service});
    text += networksetup({"-getsecurewebproxy", service});
    text += networksetup({"-getsocksfirewallproxy", service});
    text += networksetup({"-getproxybypassdomains", service});
    return text;
  }

  testing_support::TempDir dir_;
  std::unique_ptr<ChildProcess> host_;
  std::unique_ptr<enginelink::LinkClient> client_;
};

TEST_F(ProxyEndToEnd, SwitchesTwoServicesOnAndOffAgainKeepingTheirSettings) {
  networksetup({"-createnetworkservice", "Office's LAN", "Ethernet"});
  startHost("approve");

  const EncodableMap on{{"services", list({"Wi-Fi", "Office's LAN"})},
                        {"host", "127.0.0.1"},
                        {"port", int32_t{7890}},
                        {"socks", int32_t{7891}},
                        {"bypass", list({"localhost", "*.local"})}};
  ASSERT_EQ(call("setProxyElevated", on), Reply(EncodableValue(true))) << host_->standardError();
  for (const char* service : {"Wi-Fi", "Office's LAN"}) {
    EXPECT_EQ(allProxies(service), proxyText(true, "127.0.0.1", 7890) + proxyText(true, "127.0.0.1", 7890) +
                                       proxyText(true, "127.0.0.1", 7891) + "localhost\n*.local\n")
        << service;
  }
  RunLog expected = enableRuns("Wi-Fi", "127.0.0.1", "7890", "7891", {"localhost", "*.local"});
  append(expected, enableRuns("Office's LAN", "127.0.0.1", "7890", "7891", {"localhost", "*.local"}));
  EXPECT_EQ(elevatedRuns(), expected);

  ASSERT_EQ(call("disableProxyElevated", EncodableMap{{"services", list({"Wi-Fi", "Office's LAN"})}}),
            Reply(EncodableValue(true)));
  for (const char* service : {"Wi-Fi", "Office's LAN"}) {
    EXPECT_EQ(allProxies(service), proxyText(false, "127.0.0.1", 7890) + proxyText(false, "127.0.0.1", 7890) +
                                       proxyText(false, "127.0.0.1", 7891) + "localhost\n*.local\n")
        << service;
  }
  append(expected, disableRuns("Wi-Fi"));
  append(expected, disableRuns("Office's LAN"));
  EXPECT_EQ(elevatedRuns(), expected);
}

TEST_F(ProxyEndToEnd, ACancelledAuthorizationChangesNothing) {
  const std::string untouched = allProxies("Wi-Fi");
  startHost("cancel");

  const Reply cancelled = FlutterError{"cancelled", std::string("User cancelled authorization"), {}};
  EXPECT_EQ(call("setProxyElevated", EncodableMap{{"services", list({"Wi-Fi"})},
                                                  {"host", "127.0.0.1"},
                                                  {"port", int32_t{7890}},
                                                  {"socks", int32_t{7891}},
                                                  {"bypass", list({})}}),
            cancelled);
  EXPECT_EQ(call("disableProxyElevated", EncodableMap{{"services", list({"Wi-Fi"})}}), cancelled);

  EXPECT_EQ(elevatedRuns(), RunLog{});
  EXPECT_EQ(allProxies("Wi-Fi"), untouched);
}

TEST_F(ProxyEndToEnd, AnUnknownServiceStopsTheScriptAndWhatRanBeforeStays) {
  startHost("approve");

  EXPECT_EQ(call("setProxyElevated", EncodableMap{{"services", list({"Wi-Fi", "Nowhere", "Ethernet"})},
                                                  {"host", "10.0.0.1"},
                                                  {"port", int32_t{3128}},
                                                  {"socks", int32_t{1080}},
                                                  {"bypass", list({})}}),
            failed("AppleScript error 4: Nowhere is not a recognized network service.\n"
                   "** Error: The parameters were not valid."));

  // Wi-Fi was switched on before the script stopped at the first run for Nowhere; Ethernet was
  // never reached.
  RunLog expected = enableRuns("Wi-Fi", "10.0.0.1", "3128", "1080", {});
  expected.push_back({kTool, "-setwebproxy", "Nowhere", "10.0.0.1", "3128"});
  EXPECT_EQ(elevatedRuns(), expected);
  EXPECT_EQ(networksetup({"-getwebproxy", "Wi-Fi"}), proxyText(true, "10.0.0.1", 3128));
  EXPECT_EQ(networksetup({"-getwebproxy", "Ethernet"}).substr(0, 12), "Enabled: No\n");
}

// Names, hosts and bypass entries that a shell would love to misread.
std::vector<std::string> awkwardTexts(const std::string& canary) {
  const std::vector<std::string> pieces = {
      "'", "\"", "$", "`", "\\", " ", "\n", "*", "é", "局域网", "🛜", "\t", "'\\''", "!", "#", ";", "&&", "|",
      "~", "{a,b}", "-", "%s", "\\n", ">", "<"};
  std::vector<std::string> texts = {
      "",
      "Office's LAN",
      "$(touch " + canary + ")",
      "`touch " + canary + "`",
      "'; touch " + canary + "; '",
      "\"; touch " + canary + "; \"",
      "a\nb\n",
      "*",
      "-setwebproxy",
  };
  // Every piece at the start, in the middle and at the end of some text.
  for (size_t i = 0; i < pieces.size(); ++i) {
    texts.push_back(pieces[i] + "net" + pieces[(i * 7 + 3) % pieces.size()] + "work" +
                    pieces[(i * 11 + 5) % pieces.size()]);
  }
  return texts;
}

TEST_F(ProxyEndToEnd, EveryByteOfEveryArgumentSurvivesTheRealShell) {
  const std::string canary = dir_.file("canary");
  const std::vector<std::string> texts = awkwardTexts(canary);
  startHost("approve");

  // Six calls, each switching two awkwardly named services on with another awkward host and a
  // share of the texts as bypass entries: every text is a bypass entry somewhere.
  constexpr size_t kRounds = 6;
  RunLog expected;
  for (size_t round = 0; round < kRounds; ++round) {
    const std::vector<std::string> services = {texts[(2 * round + 1) % texts.size()],
                                               texts[(2 * round + 2 + kRounds * 2) % texts.size()]};
    for (const auto& name : services) networksetup({"-createnetworkservice", name, "Ethernet"});
    const std::string& host = texts[(round * 5) % texts.size()];
    std::vector<std::string> bypass;
    for (size_t k = round; k < texts.size(); k += kRounds) bypass.push_back(texts[k]);

    const int32_t port = 8000 + static_cast<int32_t>(round);
    const int64_t socks = 1080 + static_cast<int64_t>(round);  // the codec's wide width, too
    EncodableMap args{{"services", list(services)},
                      {"host", host},
                      {"port", port},
                      {"socks", socks},
                      {"bypass", list(bypass)}};
    ASSERT_EQ(call("setProxyElevated", args), Reply(EncodableValue(true))) << "round " << round;
    for (const auto& service : services) {
      append(expected, enableRuns(service, host, std::to_string(port), std::to_string(socks), bypass));
    }
  }
  // The disable script goes on past unknown names, so every text can be a service name here,
  // the empty one included.
  ASSERT_EQ(call("disableProxyElevated", EncodableMap{{"services", list(texts)}}), Reply(EncodableValue(true)));
  for (const auto& name : texts) append(expected, disableRuns(name));

  const RunLog actual = elevatedRuns();
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(actual[i], expected[i]) << "run " << i;
  }
  EXPECT_FALSE(std::filesystem::exists(canary)) << "a text was run as a command";
}

}  // namespace
