// Launch at login in the whole host, driven over the engine link, with the autostart entry in a
// configuration folder of the test's own.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/HostProcess.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Reply;

Reply call(enginelink::LinkClient& client, const std::string& method, EncodableValue args = {}) {
  return testing_support::callOver(client, "launch_at_startup", method, std::move(args));
}

TEST(LaunchAtLoginEndToEnd, SettingItWritesAndRemovesTheAutostartEntry) {
  testing_support::TempDir config;
  testing_support::HostProcess host({{"XDG_CONFIG_HOME", config.path()}});
  auto client = host.connect();
  ASSERT_TRUE(client);
  const std::string entry = config.path() + "/autostart/" + PROXYHOST_BUNDLE_ID + ".desktop";

  EXPECT_EQ(call(*client, "launchAtStartupIsEnabled"), Reply(EncodableValue(false)));
  EXPECT_EQ(call(*client, "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", true}}), Reply(EncodableValue()));
  ASSERT_TRUE(std::filesystem::exists(entry));
  std::stringstream text;
  text << std::ifstream(entry).rdbuf();
  // It starts the host that wrote it.
  EXPECT_NE(text.str().find("\nExec=" + std::filesystem::canonical(PROXYHOST_BIN).string() + "\n"), std::string::npos)
      << text.str();
  EXPECT_EQ(call(*client, "launchAtStartupIsEnabled"), Reply(EncodableValue(true)));

  EXPECT_EQ(call(*client, "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", false}}), Reply(EncodableValue()));
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_EQ(call(*client, "launchAtStartupIsEnabled"), Reply(EncodableValue(false)));
  // Disabling what is not registered is refused by the registry: logged, answered all the same.
  EXPECT_EQ(call(*client, "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", false}}), Reply(EncodableValue()));

  host.process().signal(SIGINT);
  EXPECT_TRUE(host.process().wait(15s).has_value());
}

}  // namespace
