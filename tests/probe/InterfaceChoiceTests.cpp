// Which interface the probe binds to, over listed entries, and over the live list with its log line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>

#include <map>
#include <string>
#include <vector>

#include "tests/probe/FakeDarwin.h"
#include "tests/probe/ProbeTestAccess.h"

namespace {

using Access = NativeTcpPingTestAccess;
using Entry = Access::Entry;
using probe_testing::FakeDarwin;
using probe_testing::FakeInterface;

constexpr unsigned kUp = IFF_UP;
constexpr unsigned kUpRunning = IFF_UP | IFF_RUNNING;
constexpr unsigned kLoopback = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;

Entry v4(std::string name, unsigned flags, const char* address) {
  in_addr a{};
  inet_pton(AF_INET, address, &a);
  return Entry{std::move(name), flags, AF_INET, a.s_addr};
}
Entry v6(std::string name, unsigned flags) { return Entry{std::move(name), flags, AF_INET6, 0}; }
Entry linkLevel(std::string name, unsigned flags) { return Entry{std::move(name), flags, AF_PACKET, 0}; }
Entry withoutAddress(std::string name, unsigned flags) { return Entry{std::move(name), flags, std::nullopt, 0}; }

struct ChoiceCase {
  const char* what;
  std::vector<Entry> entries;
  std::optional<std::string> chosen;  // its index is the lookup's answer
};

const std::map<std::string, uint32_t> kIndexes = {
    {"lo0", 1},        {"en0", 4},    {"en1", 5},  {"en5", 9},     {"utun3", 20},   {"awdl0", 21}, {"llw0", 22},
    {"bridge100", 23}, {"anpi1", 24}, {"ap1", 25}, {"apple0", 26}, {"utunnel", 27}, {"eth0", 30},  {"gone0", 0}};

TEST(PhysicalInterfaceChoice, FollowsTheRuleOverListedEntries) {
  const std::vector<ChoiceCase> cases = {
      {"loopback and tunnels only",
       {v4("lo0", kLoopback, "127.0.0.1"), v4("utun3", kUpRunning, "10.8.0.2"), v6("utun3", kUpRunning),
        v4("awdl0", kUpRunning, "192.0.2.77")},
       std::nullopt},
      {"link-local only", {v4("en0", kUpRunning, "169.254.10.20")}, std::nullopt},
      {"link-local beside a routable address on the same interface",
       {v4("en0", kUpRunning, "169.254.10.20"), v4("en0", kUpRunning, "192.168.1.5")},
       "en0"},
      {"the link-local block's edges are routable",
       {v4("en0", kUpRunning, "169.253.255.255"), v4("en1", kUpRunning, "169.255.0.1")},
       "en0"},
      {"IPv6 only, however it is named", {v6("en0", kUpRunning), v6("eth0", kUpRunning)}, std::nullopt},
      {"link-level and address-less entries never qualify",
       {linkLevel("en0", kUpRunning), withoutAddress("en1", kUpRunning)},
       std::nullopt},
      {"the six prefixes and any name that begins with them",
       {v4("utun3", kUpRunning, "10.0.0.2"), v4("awdl0", kUpRunning, "10.0.1.2"), v4("llw0", kUpRunning, "10.0.2.2"),
        v4("bridge100", kUpRunning, "10.0.3.2"), v4("anpi1", kUpRunning, "10.0.4.2"), v4("ap1", kUpRunning, "10.0.5.2"),
        v4("apple0", kUpRunning, "10.0.6.2"), v4("utunnel", kUpRunning, "10.0.7.2")},
       std::nullopt},
      {"a name that only contains a prefix is physical", {v4("en5", kUpRunning, "10.9.0.2")}, "en5"},
      {"up but not running (no carrier)", {v4("en1", kUp, "192.0.2.10")}, "en1"},
      {"running but not up", {v4("en1", IFF_RUNNING, "192.0.2.10")}, std::nullopt},
      {"down, whatever its address", {v4("en0", 0, "192.0.2.10")}, std::nullopt},
      {"the loopback flag excludes any name", {v4("en0", kLoopback, "192.0.2.10")}, std::nullopt},
      {"0.0.0.0 is not usable", {v4("en0", kUpRunning, "0.0.0.0"), v4("en1", kUpRunning, "192.0.2.11")}, "en1"},
      {"first listed wins", {v4("en1", kUpRunning, "192.0.2.11"), v4("en0", kUpRunning, "192.0.2.10")}, "en1"},
      {"a name without an index is skipped",
       {v4("gone0", kUpRunning, "192.0.2.12"), v4("en0", kUpRunning, "192.0.2.10")},
       "en0"},
      {"an empty list", {}, std::nullopt},
  };
  for (const ChoiceCase& c : cases) {
    auto lookup = [](const std::string& name) {
      auto it = kIndexes.find(name);
      return it == kIndexes.end() ? 0u : it->second;
    };
    auto chosen = Access::choosePhysicalInterface(c.entries, lookup);
    if (!c.chosen) {
      EXPECT_FALSE(chosen.has_value()) << c.what << ": chose " << chosen->name;
      continue;
    }
    ASSERT_TRUE(chosen.has_value()) << c.what;
    EXPECT_EQ(chosen->name, *c.chosen) << c.what;
    EXPECT_EQ(chosen->index, kIndexes.at(*c.chosen)) << c.what;
  }
}

TEST(PhysicalInterfaceChoice, AsksForAnIndexOnlyOnceTheRestQualifies) {
  std::vector<std::string> asked;
  auto lookup = [&](const std::string& name) {
    asked.push_back(name);
    return name == "en5" ? 0u : 7u;
  };
  auto chosen = Access::choosePhysicalInterface(
      {v4("lo0", kLoopback, "127.0.0.1"), v4("utun3", kUpRunning, "10.0.0.2"), v6("en0", kUpRunning),
       v4("en0", 0, "192.0.2.10"), v4("en5", kUpRunning, "192.0.2.20"), v4("en1", kUpRunning, "192.0.2.11"),
       v4("en2", kUpRunning, "192.0.2.12")},
      lookup);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(*chosen, (Access::PhysicalInterface{"en1", 7}));
  EXPECT_EQ(asked, (std::vector<std::string>{"en5", "en1"}));
}

// The live list: one log line on every path, and the snapshot freed after it on both paths that
// walked it, never on the path that has none.
TEST(PickPhysicalInterface, LogsOnceAndFreesTheSnapshotItWalked) {
  struct Case {
    const char* what;
    std::vector<FakeInterface> interfaces;
    std::optional<int> getifaddrsErrno;
    bool listsNothing;
    std::optional<std::string> chosen;
    std::vector<std::string> transcript;
  };
  const std::string notFound =
      "log: [NativeTcpPing]   ⚠️ 未找到物理网卡，将走默认路由（可能受 TUN 干扰）";
  const std::vector<Case> cases = {
      {"a physical interface",
       {{"lo0", kLoopback, AF_INET, "127.0.0.1"},
        {"en0", kUpRunning, AF_INET6, "fe80::1"},
        {"en0", kUpRunning, AF_INET, "192.0.2.10"}},
       std::nullopt,
       false,
       "en0",
       {"log: [NativeTcpPing]   选中物理网卡: en0 (idx=4)", "freeifaddrs"}},
      {"only the loopback and a tunnel",
       {{"lo0", kLoopback, AF_INET, "127.0.0.1"}, {"utun4", kUpRunning, AF_INET, "198.19.0.2"}},
       std::nullopt,
       false,
       std::nullopt,
       {notFound, "freeifaddrs"}},
      {"getifaddrs fails",
       {},
       ENOMEM,
       false,
       std::nullopt,
       {"log: [NativeTcpPing] ⚠️ getifaddrs failed: errno=" + std::to_string(ENOMEM)}},
      {"getifaddrs lists nothing",
       {},
       std::nullopt,
       true,
       std::nullopt,
       {"log: [NativeTcpPing] ⚠️ getifaddrs failed: errno=0"}},
  };
  for (const Case& c : cases) {
    FakeDarwin fake;
    fake.interfaces = c.interfaces;
    fake.getifaddrsErrno = c.getifaddrsErrno;
    fake.getifaddrsListsNothing = c.listsNothing;
    fake.indexes = {{"en0", 4}, {"utun4", 12}};
    errno = 0;
    auto chosen = Access::pickPhysicalInterface();
    EXPECT_EQ(chosen ? std::optional(chosen->name) : std::nullopt, c.chosen) << c.what;
    EXPECT_EQ(fake.transcript(), c.transcript) << c.what;
    EXPECT_EQ(fake.leaks(), std::vector<std::string>{}) << c.what;
  }
}

}  // namespace
