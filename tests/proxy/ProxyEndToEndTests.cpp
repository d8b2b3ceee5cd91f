// The whole road of a proxy request: the host under macsim, driven over its engine link, its
// administrator runs going through the scripting stand-in, /bin/sh, base64 -D and bash into the
// networksetup stand-in, whose state and run log show what really happened.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "proxy/ProxyScriptBuilder.h"
#include "tests/e2e/MacsimHost.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Reply;
using testing_support::RunLog;
using testing_support::stringList;

const std::string& kTool = testing_support::kNetworkSetupTool;

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
  return std::string("Enabled: ") + (enabled ? "Yes" : "No") + "\nServer: " + server +
         "\nPort: " + std::to_string(port) + "\nAuthenticated Proxy Enabled: 0\n";
}

class ProxyEndToEnd : public testing_support::MacsimHostTest {
 protected:
  void TearDown() override {
    if (!host_) return;
    host_->signal(SIGINT);
    // Two cleanups of the machine's services, each run a whole process: slow under the sanitizers.
    auto status = host_->wait(60s);
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << host_->standardError();
  }

  // The host under macsim, with the authorization answer fixed as `authorization` says.
  void startHost(const std::string& authorization) {
    MacsimHostTest::startHost({{"PROXYHOST_AUTHORIZATION", authorization}});
  }

  Reply call(const std::string& method, EncodableMap arguments) {
    return testing_support::callOver(*client_, testing_support::kPrivilegedProxyChannel, method,
                                     EncodableValue(std::move(arguments)), 60s);
  }

  // An enable of `services` at HOST:3128, SOCKS 1080, with no bypass domains.
  Reply enableAt(const std::string& host, const std::vector<std::string>& services) {
    return call("setProxyElevated", EncodableMap{{"services", stringList(services)},
                                                 {"host", host},
                                                 {"port", int32_t{3128}},
                                                 {"socks", int32_t{1080}},
                                                 {"bypass", stringList({})}});
  }
  const Reply kNowhereFailure = failed(
      "AppleScript error 4: Nowhere is not a recognized network service.\n** Error: The parameters were not valid.");

  std::string allProxies(const std::string& service) {
    std::string text = networksetup({"-getwebproxy", service});
    text += networksetup({"-getsecurewebproxy", service});
    text += networksetup({"-getsocksfirewallproxy", service});
    text += networksetup({"-getproxybypassdomains", service});
    return text;
  }
};

TEST_F(ProxyEndToEnd, SwitchesTwoServicesOnAndOffAgainKeepingTheirSettings) {
  networksetup({"-createnetworkservice", "Office's LAN", "Ethernet"});
  startHost("approve");

  const EncodableMap on{{"services", stringList({"Wi-Fi", "Office's LAN"})},
                        {"host", "127.0.0.1"},
                        {"port", int32_t{7890}},
                        {"socks", int32_t{7891}},
                        {"bypass", stringList({"localhost", "*.local"})}};
  ASSERT_EQ(call("setProxyElevated", on), Reply(EncodableValue(true))) << host_->standardError();
  for (const char* service : {"Wi-Fi", "Office's LAN"}) {
    EXPECT_EQ(allProxies(service), proxyText(true, "127.0.0.1", 7890) + proxyText(true, "127.0.0.1", 7890) +
                                       proxyText(true, "127.0.0.1", 7891) + "localhost\n*.local\n")
        << service;
  }
  RunLog expected = enableRuns("Wi-Fi", "127.0.0.1", "7890", "7891", {"localhost", "*.local"});
  append(expected, enableRuns("Office's LAN", "127.0.0.1", "7890", "7891", {"localhost", "*.local"}));
  EXPECT_EQ(hostRuns(), expected);

  ASSERT_EQ(call("disableProxyElevated", EncodableMap{{"services", stringList({"Wi-Fi", "Office's LAN"})}}),
            Reply(EncodableValue(true)));
  for (const char* service : {"Wi-Fi", "Office's LAN"}) {
    EXPECT_EQ(allProxies(service), proxyText(false, "127.0.0.1", 7890) + proxyText(false, "127.0.0.1", 7890) +
                                       proxyText(false, "127.0.0.1", 7891) + "localhost\n*.local\n")
        << service;
  }
  append(expected, disableRuns("Wi-Fi"));
  append(expected, disableRuns("Office's LAN"));
  EXPECT_EQ(hostRuns(), expected);
}

TEST_F(ProxyEndToEnd, ACancelledAuthorizationChangesNothing) {
  const std::string untouched = allProxies("Wi-Fi");
  startHost("cancel");

  const Reply cancelled = FlutterError{"cancelled", std::string("User cancelled authorization"), {}};
  EXPECT_EQ(call("setProxyElevated", EncodableMap{{"services", stringList({"Wi-Fi"})},
                                                  {"host", "127.0.0.1"},
                                                  {"port", int32_t{7890}},
                                                  {"socks", int32_t{7891}},
                                                  {"bypass", stringList({})}}),
            cancelled);
  EXPECT_EQ(call("disableProxyElevated", EncodableMap{{"services", stringList({"Wi-Fi"})}}), cancelled);

  EXPECT_EQ(hostRuns(), RunLog{});
  EXPECT_EQ(allProxies("Wi-Fi"), untouched);
}

TEST_F(ProxyEndToEnd, AnUnknownServiceStopsTheScriptAndWhatRanBeforeStays) {
  startHost("approve");

  EXPECT_EQ(enableAt("10.0.0.1", {"Wi-Fi", "Nowhere", "Ethernet"}), kNowhereFailure);

  // Wi-Fi was switched on before the script stopped at the first run for Nowhere; Ethernet was
  // never reached.
  RunLog expected = enableRuns("Wi-Fi", "10.0.0.1", "3128", "1080", {});
  expected.push_back({kTool, "-setwebproxy", "Nowhere", "10.0.0.1", "3128"});
  EXPECT_EQ(hostRuns(), expected);
  EXPECT_EQ(networksetup({"-getwebproxy", "Wi-Fi"}), proxyText(true, "10.0.0.1", 3128));
  EXPECT_EQ(networksetup({"-getwebproxy", "Ethernet"}).substr(0, 12), "Enabled: No\n");
}

// In the real world with no desktop to follow (no session bus, as on a root host), every run notes
// the skipped desktops somewhere else than standard error: a script that then fails answers
// networksetup's own error, not those notes.
TEST_F(ProxyEndToEnd, WithoutADesktopAFailedScriptStillNamesTheRealError) {
  networksetup({"-createnetworkservice", "Office", "Ethernet"});
  simulated_ = false;
  MacsimHostTest::startHost({{"NETWORKSETUP_WORLD", "real"},
                             {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_.file("no-bus")},
                             {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir_.file("no-bus")},
                             {"HOME", dir_.path()},
                             {"XDG_CONFIG_HOME", dir_.file("config")}});
  EXPECT_EQ(enableAt("10.0.0.1", {"Office", "Nowhere"}), kNowhereFailure);
  EXPECT_EQ(networksetup({"-getwebproxy", "Office"}), proxyText(true, "10.0.0.1", 3128));
}

// Names, hosts and bypass entries that a shell would love to misread.
std::vector<std::string> awkwardTexts(const std::string& canary) {
  const std::vector<std::string> pieces = {"'",      "\"",    "$",  "`",     "\\",  " ", "\n", "*",  "é",
                                           "局域网", "🛜",  "\t", "'\\''", "!",   "#", ";",  "&&", "|",
                                           "~",      "{a,b}", "-",  "%s",    "\\n", ">", "<"};
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
    EncodableMap args{{"services", stringList(services)},
                      {"host", host},
                      {"port", port},
                      {"socks", socks},
                      {"bypass", stringList(bypass)}};
    ASSERT_EQ(call("setProxyElevated", args), Reply(EncodableValue(true))) << "round " << round;
    for (const auto& service : services) {
      append(expected, enableRuns(service, host, std::to_string(port), std::to_string(socks), bypass));
    }
  }
  // The disable script goes on past unknown names, so every text can be a service name here,
  // the empty one included.
  ASSERT_EQ(call("disableProxyElevated", EncodableMap{{"services", stringList(texts)}}), Reply(EncodableValue(true)));
  for (const auto& name : texts) append(expected, disableRuns(name));

  const RunLog actual = hostRuns();
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(actual[i], expected[i]) << "run " << i;
  }
  EXPECT_FALSE(std::filesystem::exists(canary)) << "a text was run as a command";
}

// Four services and a bypass list of a mebibyte: a script of over four MiB, far past the 128 KiB
// that Linux takes in one argument. Each service's bypass run stays one networksetup run.
TEST_F(ProxyEndToEnd, ARequestOfMegabytesRunsWhole) {
  for (const char* name : {"LAN 2", "LAN 3"}) networksetup({"-createnetworkservice", name, "Ethernet"});
  startHost("approve");
  std::vector<std::string> bypass;
  size_t bytes = 0;
  for (int i = 0; bytes < 1024 * 1024; ++i) {
    bypass.push_back("host-" + std::to_string(i) + ".a-rather-long-internal-domain-name.example.internal");
    bytes += bypass.back().size();
  }
  const std::vector<std::string> services = {"Wi-Fi", "Ethernet", "LAN 2", "LAN 3"};
  ASSERT_GT(proxy::buildEnableProxyScript(services, "127.0.0.1", 7890, 7891, bypass).size(), 4u * 1024 * 1024);
  ASSERT_EQ(call("setProxyElevated", EncodableMap{{"services", stringList(services)},
                                                  {"host", "127.0.0.1"},
                                                  {"port", int32_t{7890}},
                                                  {"socks", int32_t{7891}},
                                                  {"bypass", stringList(bypass)}}),
            Reply(EncodableValue(true)))
      << host_->standardError();
  RunLog expected;
  for (const auto& service : services) append(expected, enableRuns(service, "127.0.0.1", "7890", "7891", bypass));
  EXPECT_EQ(hostRuns(), expected);
  std::string listed;
  for (const auto& domain : bypass) listed += domain + "\n";
  EXPECT_EQ(networksetup({"-getproxybypassdomains", "LAN 3"}), listed);
  // A state of megabytes makes every later run slow (the quit's cleanup ones too): cleared.
  for (const auto& service : services) networksetup({"-setproxybypassdomains", service, "Empty"});
}

// Started directly, as a user starts it: the host's own children see the product's tools at the
// macOS paths, the scripts through the tool view and the cleanup's tasks through the table.
TEST(ProxyWithoutMacsim, TheScriptsAndTheCleanupRunTheProductsTools) {
  testing_support::TempDir state;
  testing_support::HostProcess host(std::map<std::string, std::string>{{"PROXYHOST_AUTHORIZATION", "approve"},
                                                                       {"NETWORKSETUP_STATE_DIR", state.path()},
                                                                       {"NETWORKSETUP_WORLD", "simulated"}});
  auto client = host.connect();
  ASSERT_TRUE(client);
  const EncodableMap on{{"services", stringList({"Wi-Fi"})},
                        {"host", "127.0.0.1"},
                        {"port", int32_t{7890}},
                        {"socks", int32_t{7891}},
                        {"bypass", stringList({})}};
  EXPECT_EQ(testing_support::callOver(*client, testing_support::kPrivilegedProxyChannel, "setProxyElevated",
                                      EncodableValue(on), 30s),
            Reply(EncodableValue(true)))
      << host.process().standardError();
  host.process().signal(SIGTERM);
  EXPECT_TRUE(host.process().wait(15s).has_value());
  RunLog expected = enableRuns("Wi-Fi", "127.0.0.1", "7890", "7891", {});
  expected.push_back({"/usr/sbin/networksetup", "-listallnetworkservices"});
  for (const char* service : {"Wi-Fi", "Ethernet", "Thunderbolt Bridge"}) {
    for (const char* setter : {"-setwebproxystate", "-setsecurewebproxystate", "-setsocksfirewallproxystate"}) {
      expected.push_back({"/usr/sbin/networksetup", setter, service, "off"});
    }
  }
  EXPECT_EQ(testing_support::productRunsIn(state.path()), expected);
}

}  // namespace
