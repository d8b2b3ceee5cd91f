// The host where no display exists: it starts headless, as it always has, and says so once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "tests/e2e/HostProcess.h"

namespace {

using namespace std::chrono_literals;

TEST(WindowlessHost, StartsHeadlessWithoutADisplayAndSaysSo) {
  testing_support::HostProcess host({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"PROXYHOST_HEADLESS", "0"}});
  auto client = host.connect();
  ASSERT_TRUE(client);
  EXPECT_TRUE(testing_support::waitUntilArmed(*client));
  const std::string log = host.process().standardError();
  EXPECT_NE(log.find("No window: headless, as there is no display"), std::string::npos) << log;
  host.process().signal(SIGINT);
  auto status = host.process().wait(15s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

}  // namespace
