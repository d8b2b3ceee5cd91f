// The enable and disable scripts, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/ProxyScriptBuilder.h"

namespace {

TEST(ProxyScripts, WorkedExampleEnablesBothServicesLineForLine) {
  const std::string expected =
      "#!/bin/bash\n"
      "set -e\n"
      "/usr/sbin/networksetup -setwebproxy 'Wi-Fi' '127.0.0.1' 8080\n"
      "/usr/sbin/networksetup -setsecurewebproxy 'Wi-Fi' '127.0.0.1' 8080\n"
      "/usr/sbin/networksetup -setsocksfirewallproxy 'Wi-Fi' '127.0.0.1' 1080\n"
      "/usr/sbin/networksetup -setproxybypassdomains 'Wi-Fi' 'localhost' '*.local'\n"
      "/usr/sbin/networksetup -setwebproxystate 'Wi-Fi' on\n"
      "/usr/sbin/networksetup -setsecurewebproxystate 'Wi-Fi' on\n"
      "/usr/sbin/networksetup -setsocksfirewallproxystate 'Wi-Fi' on\n"
      "/usr/sbin/networksetup -setwebproxy 'Office'\\''s LAN' '127.0.0.1' 8080\n"
      "/usr/sbin/networksetup -setsecurewebproxy 'Office'\\''s LAN' '127.0.0.1' 8080\n"
      "/usr/sbin/networksetup -setsocksfirewallproxy 'Office'\\''s LAN' '127.0.0.1' 1080\n"
      "/usr/sbin/networksetup -setproxybypassdomains 'Office'\\''s LAN' 'localhost' '*.local'\n"
      "/usr/sbin/networksetup -setwebproxystate 'Office'\\''s LAN' on\n"
      "/usr/sbin/networksetup -setsecurewebproxystate 'Office'\\''s LAN' on\n"
      "/usr/sbin/networksetup -setsocksfirewallproxystate 'Office'\\''s LAN' on";
  EXPECT_EQ(proxy::buildEnableProxyScript({"Wi-Fi", "Office's LAN"}, "127.0.0.1", 8080, 1080, {"localhost", "*.local"}),
            expected);
}

TEST(ProxyScripts, WorkedExampleDisablesBothServicesLineForLine) {
  const std::string expected =
      "#!/bin/bash\n"
      "/usr/sbin/networksetup -setwebproxystate 'Wi-Fi' off || true\n"
      "/usr/sbin/networksetup -setsecurewebproxystate 'Wi-Fi' off || true\n"
      "/usr/sbin/networksetup -setsocksfirewallproxystate 'Wi-Fi' off || true\n"
      "/usr/sbin/networksetup -setwebproxystate 'Office'\\''s LAN' off || true\n"
      "/usr/sbin/networksetup -setsecurewebproxystate 'Office'\\''s LAN' off || true\n"
      "/usr/sbin/networksetup -setsocksfirewallproxystate 'Office'\\''s LAN' off || true";
  EXPECT_EQ(proxy::buildDisableProxyScript({"Wi-Fi", "Office's LAN"}), expected);
}

TEST(ProxyScripts, QuotingTouchesOnlyApostrophes) {
  struct Case {
    std::string input, quoted;
  };
  const std::vector<Case> cases = {
      {"", "''"},
      {"Wi-Fi", "'Wi-Fi'"},
      {"'", "''\\'''"},
      {"''", "''\\'''\\'''"},
      {"Office's LAN", "'Office'\\''s LAN'"},
      {"a b\tc", "'a b\tc'"},
      {"$HOME `id` $(id)", "'$HOME `id` $(id)'"},
      {"*.local", "'*.local'"},
      {"say \"hi\"", "'say \"hi\"'"},
      {"back\\slash\\", "'back\\slash\\'"},
      {"two\nlines", "'two\nlines'"},
      {"Réseau 局域网 🛜", "'Réseau 局域网 🛜'"},
      {"; rm -rf / #", "'; rm -rf / #'"},
  };
  for (const auto& c : cases) EXPECT_EQ(proxy::shellQuote(c.input), c.quoted) << c.input;
}

TEST(ProxyScripts, EdgeCasesOfTheEnableScript) {
  struct Case {
    const char* what;
    std::vector<std::string> services;
    std::string host;
    int64_t port, socks;
    std::vector<std::string> bypass;
    std::string expected;
  };
  const std::string N = "/usr/sbin/networksetup ";
  const auto states = [&](const std::string& q) {
    return "\n" + N + "-setwebproxystate " + q + " on\n" + N + "-setsecurewebproxystate " + q + " on\n" + N +
           "-setsocksfirewallproxystate " + q + " on";
  };
  const auto block = [&](const std::string& q, const std::string& qHost, const std::string& port,
                         const std::string& socks, const std::string& qBypass) {
    return "\n" + N + "-setwebproxy " + q + " " + qHost + " " + port + "\n" + N + "-setsecurewebproxy " + q + " " +
           qHost + " " + port + "\n" + N + "-setsocksfirewallproxy " + q + " " + qHost + " " + socks + "\n" + N +
           "-setproxybypassdomains " + q + " " + qBypass + states(q);
  };
  const std::string head = "#!/bin/bash\nset -e";
  const std::vector<Case> cases = {
      {"no services: the two header lines alone", {}, "h", 1, 2, {"x"}, head},
      {"no bypass entries: the bypass line ends in one blank",
       {"Wi-Fi"},
       "127.0.0.1",
       8080,
       1080,
       {},
       head + block("'Wi-Fi'", "'127.0.0.1'", "8080", "1080", "")},
      {"empty host and bypass entry stay as two apostrophes",
       {"Wi-Fi"},
       "",
       8080,
       1080,
       {""},
       head + block("'Wi-Fi'", "''", "8080", "1080", "''")},
      {"ports outside 1..65535 are written unchanged",
       {"E"},
       "h",
       0,
       -1,
       {"b"},
       head + block("'E'", "'h'", "0", "-1", "'b'")},
      {"64-bit ports are written in full",
       {"E"},
       "h",
       INT64_MAX,
       INT64_MIN,
       {"b"},
       head + block("'E'", "'h'", "9223372036854775807", "-9223372036854775808", "'b'")},
      {"a service listed twice gets its lines twice",
       {"A", "B", "A"},
       "h",
       1,
       2,
       {},
       head + block("'A'", "'h'", "1", "2", "") + block("'B'", "'h'", "1", "2", "") +
           block("'A'", "'h'", "1", "2", "")},
      {"a line feed in a name stays inside the quotes",
       {"two\nlines"},
       "h",
       1,
       2,
       {"x\ny"},
       head + block("'two\nlines'", "'h'", "1", "2", "'x\ny'")},
      {"shell characters stay literal between apostrophes",
       {"$(reboot) `id` \"q\" \\ *"},
       "a'b",
       3128,
       1080,
       {"*.corp", "it's"},
       head + block("'$(reboot) `id` \"q\" \\ *'", "'a'\\''b'", "3128", "1080", "'*.corp' 'it'\\''s'")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(proxy::buildEnableProxyScript(c.services, c.host, c.port, c.socks, c.bypass), c.expected) << c.what;
  }
}

TEST(ProxyScripts, EdgeCasesOfTheDisableScript) {
  struct Case {
    const char* what;
    std::vector<std::string> services;
    std::string expected;
  };
  const std::string N = "/usr/sbin/networksetup ";
  const auto block = [&](const std::string& q) {
    return "\n" + N + "-setwebproxystate " + q + " off || true\n" + N + "-setsecurewebproxystate " + q +
           " off || true\n" + N + "-setsocksfirewallproxystate " + q + " off || true";
  };
  const std::vector<Case> cases = {
      {"no services: the header alone", {}, "#!/bin/bash"},
      {"an empty name is two apostrophes", {""}, "#!/bin/bash" + block("''")},
      {"a service listed twice gets its lines twice", {"A", "A"}, "#!/bin/bash" + block("'A'") + block("'A'")},
      {"a line feed in a name stays inside the quotes", {"a\nb"}, "#!/bin/bash" + block("'a\nb'")},
  };
  for (const auto& c : cases) EXPECT_EQ(proxy::buildDisableProxyScript(c.services), c.expected) << c.what;
}

TEST(ProxyScripts, NoCarriageReturnAndNoFinalLineFeed) {
  for (const auto& script :
       {proxy::buildEnableProxyScript({"A", "B"}, "h", 1, 2, {"x"}), proxy::buildDisableProxyScript({"A", "B"})}) {
    EXPECT_EQ(script.find('\r'), std::string::npos);
    ASSERT_FALSE(script.empty());
    EXPECT_NE(script.back(), '\n');
  }
}

}  // namespace
