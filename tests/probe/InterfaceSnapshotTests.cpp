// The interface snapshot the probe keeps: read again exactly when the platform reports a change,
// never kept when it could not be read.
#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/probe/FakeDarwin.h"
#include "tests/probe/ProbeTestAccess.h"

namespace {

using Access = NativeTcpPingTestAccess;
using probe_testing::FakeDarwin;

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

size_t snapshotsTaken(const FakeDarwin& fake) {
  auto journal = fake.journal();
  return static_cast<size_t>(std::count(journal.begin(), journal.end(), "getifaddrs"));
}

std::string picked() {
  auto chosen = Access::pickPhysicalInterface();
  return chosen ? chosen->name + "#" + std::to_string(chosen->index) : "none";
}

TEST(InterfaceSnapshot, IsReadAgainOnlyWhenThePlatformReportsAChange) {
  FakeDarwin fake;
  fake.interfaces = {{"en0", kUp, AF_INET, "192.0.2.10"}};
  fake.indexes = {{"en0", 4}, {"en1", 5}};
  fake.interfaceGeneration = 7;

  EXPECT_EQ(picked(), "en0#4");
  EXPECT_EQ(picked(), "en0#4");
  EXPECT_EQ(snapshotsTaken(fake), 1u);

  // Unreported, a change is not looked for: that is what the platform's messages are for.
  fake.interfaces = {{"en1", kUp, AF_INET, "192.0.2.11"}};
  EXPECT_EQ(picked(), "en0#4");
  EXPECT_EQ(snapshotsTaken(fake), 1u);

  fake.interfaceGeneration = 8;
  EXPECT_EQ(picked(), "en1#5");
  fake.interfaces = {{"lo0", kUp | IFF_LOOPBACK, AF_INET, "127.0.0.1"}};
  fake.interfaceGeneration = 9;
  EXPECT_EQ(picked(), "none");
  EXPECT_EQ(picked(), "none");
  EXPECT_EQ(snapshotsTaken(fake), 3u);

  // Every probe still writes its line, kept snapshot or not; every snapshot is freed.
  auto lines = fake.logLines();
  EXPECT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines.front(), "[NativeTcpPing]   选中物理网卡: en0 (idx=4)");
  EXPECT_EQ(lines.back(),
            "[NativeTcpPing]   ⚠️ 未找到物理网卡，将走默认路由（可能受 TUN 干扰）");
  EXPECT_EQ(fake.leaks(), std::vector<std::string>{});
}

TEST(InterfaceSnapshot, AFailedReadIsNotKept) {
  FakeDarwin fake;
  fake.interfaces = {{"en0", kUp, AF_INET, "192.0.2.10"}};
  fake.indexes = {{"en0", 4}};
  fake.interfaceGeneration = 3;
  fake.getifaddrsErrno = ENOBUFS;
  EXPECT_EQ(picked(), "none");
  fake.getifaddrsErrno.reset();
  EXPECT_EQ(picked(), "en0#4") << "the next probe must try again, as a fresh read would";
  EXPECT_EQ(snapshotsTaken(fake), 2u);
  EXPECT_EQ(fake.logLines().front(), "[NativeTcpPing] ⚠️ getifaddrs failed: errno=" + std::to_string(ENOBUFS));
}

}  // namespace
