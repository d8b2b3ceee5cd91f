// What the built-in interface decides without a toolkit: the form's checks, networksetup's answers
// read back, the channels' errors in words, and the preferences file, damaged ones included.
#include <gtest/gtest.h>

#include <cerrno>

#include "ui/ChannelErrors.h"
#include "ui/NetworkServiceState.h"
#include "ui/Preferences.h"
#include "ui/ProxyForm.h"

namespace ui {
namespace {

TEST(ProxyForm, PortsAndHostsAreCheckedAsTyped) {
  struct Case {
    const char* text;
    std::optional<int> port;
  };
  for (const Case& c : {Case{"7890", 7890}, Case{" 1 ", 1}, Case{"65535", 65535}, Case{"0", {}}, Case{"65536", {}},
                        Case{"-1", {}}, Case{"+80", {}}, Case{"80a", {}}, Case{"", {}}, Case{"99999999999", {}}}) {
    EXPECT_EQ(parsePort(c.text), c.port) << c.text;
  }
  struct HostCase {
    const char* text;
    std::optional<std::string> host;
  };
  for (const HostCase& c :
       {HostCase{"127.0.0.1", "127.0.0.1"}, HostCase{" proxy.local ", "proxy.local"}, HostCase{"::1", "::1"},
        HostCase{"fe80::1", "fe80::1"}, HostCase{"a-b.example.org.", "a-b.example.org."}, HostCase{"300.1.2.3", {}},
        HostCase{"-bad.example", {}}, HostCase{"bad-.example", {}}, HostCase{"two words", {}},
        HostCase{"x;rm -rf /", {}}, HostCase{"", {}}, HostCase{"a..b", {}}, HostCase{"http://host", {}}}) {
    EXPECT_EQ(parseHost(c.text), c.host) << c.text;
  }
  EXPECT_FALSE(parseHost(std::string(64, 'a') + ".org"));
}

TEST(ProxyForm, TheFormSaysWhatIsWrongOrGivesTheChannelsArguments) {
  struct Case {
    const char *host, *http, *socks;
    std::vector<std::string> services;
    const char* problem;  // nullptr: it checks out
  };
  for (const Case& c :
       {Case{"not a host", "1", "2", {"Wi-Fi"}, "is not a host name"}, Case{"h", "0", "2", {"Wi-Fi"}, "HTTP port"},
        Case{"h", "1", "x", {"Wi-Fi"}, "SOCKS port"}, Case{"h", "1", "2", {}, "at least one network service"},
        Case{"h", "1", "2", {"Wi-Fi"}, nullptr}}) {
    auto checked = checkProxyForm(c.host, c.http, c.socks, "localhost, *.local", c.services);
    if (c.problem == nullptr) {
      ASSERT_TRUE(checked) << checked.error().message();
    } else {
      ASSERT_FALSE(checked) << c.problem;
      EXPECT_NE(checked.error().message().find(c.problem), std::string::npos);
    }
  }
  auto settings = checkProxyForm(" 127.0.0.1", "7890", "7891", "localhost,, *.local \n", {"Wi-Fi"}).value();
  EXPECT_EQ(enableArguments(settings), EncodableValue(EncodableMap{{"services", EncodableList{"Wi-Fi"}},
                                                                   {"host", "127.0.0.1"},
                                                                   {"port", int32_t{7890}},
                                                                   {"socks", int32_t{7891}},
                                                                   {"bypass", EncodableList{"localhost", "*.local"}}}));
  EXPECT_EQ(disableArguments({"Wi-Fi", "Ethernet"}),
            EncodableValue(EncodableMap{{"services", EncodableList{"Wi-Fi", "Ethernet"}}}));
}

TEST(ProxyForm, LatencyTargets) {
  struct Case {
    const char* text;
    std::optional<LatencyTarget> target;
  };
  for (const Case& c :
       {Case{"example.org:443", LatencyTarget{"example.org", 443}}, Case{" 1.1.1.1:53 ", LatencyTarget{"1.1.1.1", 53}},
        Case{"[::1]:8080", LatencyTarget{"::1", 8080}}, Case{"example.org", {}}, Case{"::1:80", {}},
        Case{"[::1]80", {}}, Case{"host:0", {}}, Case{":443", {}}}) {
    auto parsed = parseTarget(c.text);
    if (c.target) {
      ASSERT_TRUE(parsed) << c.text << ": " << parsed.error().message();
      EXPECT_EQ(*parsed, *c.target);
      EXPECT_EQ(parseTarget(targetText(*c.target)).value(), *c.target) << "round trip";
    } else {
      ASSERT_FALSE(parsed) << c.text;
      EXPECT_FALSE(parsed.error().message().empty()) << c.text;
    }
  }
}

TEST(NetworkServiceState, TheToolsAnswersAreRead) {
  EXPECT_EQ(parseServiceList("An asterisk (*) denotes that a network service is disabled.\nWi-Fi\r\n*Bluetooth PAN\n"
                             "Office's LAN\n\n"),
            (std::vector<NetworkService>{{"Wi-Fi", true}, {"Bluetooth PAN", false}, {"Office's LAN", true}}));
  EXPECT_EQ(parseProxyState("Enabled: Yes\nServer: 127.0.0.1\nPort: 7890\nAuthenticated Proxy Enabled: 0\n"),
            (ProxyState{true, "127.0.0.1", 7890}));
  EXPECT_EQ(parseProxyState("Enabled: No\nServer: \nPort: 0\n"), (ProxyState{false, "", 0}));
  EXPECT_FALSE(parseProxyState("Wi-Fi is not a recognized network service.\n"));
  EXPECT_FALSE(parseProxyState("Enabled: Maybe\n"));
  EXPECT_FALSE(parseProxyState("Enabled: Yes\nPort: 80x\n"));

  ServiceProxies on{"Wi-Fi", true, {true, "h", 1}, {false, "h", 1}, {true, "h", 2}};
  EXPECT_EQ(describe(on), "On: Web h:1, SOCKS h:2");
  EXPECT_EQ(describe(ServiceProxies{"Wi-Fi", true}), "Proxies off");
  EXPECT_NE(describe(ServiceProxies{"Wi-Fi", false}).find("unknown"), std::string::npos);
}

TEST(ChannelErrors, EachRefusalInWordsWithTheChannelsOwnTextKept) {
  struct Case {
    FlutterError error;
    const char* title;
  };
  for (const Case& c : {
           Case{{"cancelled", "User cancelled authorization", {}}, "the password prompt was cancelled"},
           Case{{"failed", "AppleScript error -128: User canceled.", {}}, "the password prompt was cancelled"},
           Case{{"failed", "Error executing command as another user: No authentication agent found.", {}},
                "no password prompt could be shown"},
           Case{{"failed", "Error executing command as another user: Not authorized", {}}, "not authorized"},
           Case{{"failed", "AppleScript error 4: Office is not a recognized network service.", {}},
                "a network service does not exist"},
           Case{{"bad_args", "port must be an integer", {}}, "the settings were refused"},
           Case{{"failed", std::nullopt, {}}, "The system proxy was not switched on"},
       }) {
    ExplainedError explained = explainProxyError(c.error, true);
    EXPECT_NE(explained.title.find(c.title), std::string::npos) << explained.title;
    EXPECT_EQ(explained.details, detailsLine(c.error));
    EXPECT_FALSE(explained.explanation.empty());
  }
  EXPECT_EQ(detailsLine({"cancelled", "User cancelled authorization", {}}), "cancelled: User cancelled authorization");
  EXPECT_NE(explainProxyError({"failed", "x", {}}, false).title.find("switched off"), std::string::npos);
}

TEST(Preferences, KeptChoicesComeBackAndDamageGivesDefaultsWithANote) {
  Preferences chosen;
  chosen.proxy.host = "10.0.0.2";
  chosen.proxy.httpPort = 8080;
  chosen.proxy.bypass = {"localhost", "a;b"};
  chosen.proxy.services = {"Wi-Fi", "Office's LAN"};
  chosen.servicesChosen = true;
  chosen.targets = {{"::1", 80}, {"example.org", 443}};
  chosen.timeoutMs = 900;
  LoadedPreferences back = parsePreferences(formatPreferences(chosen));
  EXPECT_EQ(back.preferences, chosen);
  EXPECT_FALSE(back.note);

  EXPECT_EQ(parsePreferences("").preferences, Preferences{});
  struct Case {
    const char* text;
    const char* note;
  };
  for (const Case& c :
       {Case{"[Proxy\nhost", "does not read"}, Case{"[Proxy]\nhttpPort=70000\n", "httpPort"},
        Case{"[Proxy]\nhost=a b\n", "host"}, Case{"[Latency]\ntimeoutMs=5\n", "timeoutMs"},
        Case{"[Latency]\ntargets=ok.org:1;nope;\n", "target \"nope\""}, Case{"\xff\xfe[", "does not read"}}) {
    LoadedPreferences loaded = parsePreferences(c.text);
    ASSERT_TRUE(loaded.note) << c.text;
    EXPECT_NE(loaded.note->message().find(c.note), std::string::npos) << loaded.note->message();
    EXPECT_EQ(loaded.preferences.proxy.httpPort, kDefaultHttpPort);
  }
  EXPECT_EQ(parsePreferences("[Latency]\ntargets=ok.org:1;nope;\n").preferences.targets,
            (std::vector<LatencyTarget>{{"ok.org", 1}}));
}

// A file that cannot be read or written keeps the failed call, for the log, under words for the person.
TEST(Preferences, AFileThatCannotBeReadOrWrittenSaysWhichCallFailed) {
  // Under /dev/null nothing can be made or read: no folder of this machine is touched.
  const std::string path = "/dev/null/choices/interface.conf";
  auto saved = savePreferences(path, Preferences{});
  ASSERT_FALSE(saved);
  ASSERT_NE(saved.error().system(), nullptr) << saved.error().message();
  EXPECT_EQ(saved.error().code(), ENOTDIR);
  EXPECT_NE(saved.error().message().find("/dev/null/choices"), std::string::npos) << saved.error().message();

  LoadedPreferences loaded = loadPreferences(path);
  EXPECT_EQ(loaded.preferences, Preferences{});
  ASSERT_TRUE(loaded.note);
  EXPECT_EQ(loaded.note->code(), ENOTDIR);
  EXPECT_TRUE(loaded.note->message().starts_with("the saved choices cannot be read: ")) << loaded.note->message();
  EXPECT_FALSE(loadPreferences("/nonexistent-proxyhost-test/interface.conf").note) << "no file is no damage";
}

}  // namespace
}  // namespace ui
