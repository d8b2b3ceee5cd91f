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

// What the Flutter side reads is what the desktop would do, and a write that cannot land says so.
TEST(LaunchAtLoginEndToEnd, ReadsOnlyAnEntryOfOursAndAnswersAFailedWrite) {
  testing_support::TempDir config;
  testing_support::HostProcess host({{"XDG_CONFIG_HOME", config.path()}});
  auto client = host.connect();
  ASSERT_TRUE(client);
  const std::string entry = config.path() + "/autostart/" + PROXYHOST_BUNDLE_ID + ".desktop";
  std::filesystem::create_directories(config.path() + "/autostart");
  for (const std::string& text : {std::string(), std::string("\x7f\x45\x4c\x46\x02\x01garbage"),
                                  std::string("Type=Application\nExec=" + std::filesystem::canonical(PROXYHOST_BIN).string() + "\n")}) {
    std::ofstream(entry) << text;
    EXPECT_EQ(call(*client, "launchAtStartupIsEnabled"), Reply(EncodableValue(false))) << text;
  }
  std::filesystem::remove(entry);
  std::filesystem::create_directory(entry);
  EXPECT_EQ(call(*client, "launchAtStartupIsEnabled"), Reply(EncodableValue(false)));
  EXPECT_EQ(call(*client, "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", false}}), Reply(EncodableValue()));
  EXPECT_FALSE(std::filesystem::exists(entry));

  host.process().signal(SIGINT);
  EXPECT_TRUE(host.process().wait(15s).has_value());

  // A configuration folder that is a file: nothing can be written, and the answer says so.
  const std::string notAFolder = config.file("file");
  std::ofstream(notAFolder) << "";
  testing_support::HostProcess blocked({{"XDG_CONFIG_HOME", notAFolder}});
  auto blockedClient = blocked.connect();
  ASSERT_TRUE(blockedClient);
  const Reply reply = call(*blockedClient, "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", true}});
  const auto* error = std::get_if<FlutterError>(&reply);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code, "FAILED");
  EXPECT_TRUE(error->message && error->message->starts_with("Failed to enable launch at login: Cannot create " +
                                                            notAFolder + "/autostart"))
      << testing::PrintToString(reply);
  EXPECT_EQ(call(*blockedClient, "launchAtStartupIsEnabled"), Reply(EncodableValue(false)));
  blocked.process().signal(SIGINT);
  EXPECT_TRUE(blocked.process().wait(15s).has_value());
}

}  // namespace
