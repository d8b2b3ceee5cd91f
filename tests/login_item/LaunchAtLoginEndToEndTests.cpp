// Launch at login in the whole host, driven over the engine link, with the autostart entry in a
// configuration folder of the test's own.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "tests/e2e/HostProcess.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Reply;

Reply call(enginelink::LinkClient& client, const std::string& method, EncodableValue args = {}) {
  return testing_support::callOver(client, "launch_at_startup", method, std::move(args));
}

// The host with `configHome` as its configuration folder, connected over the link.
struct HostWithConfig {
  explicit HostWithConfig(const std::string& configHome)
      : host({{"XDG_CONFIG_HOME", configHome}}), client(host.connect()) {}
  // Quits as the user would; the host must end.
  void quit() {
    host.process().signal(SIGINT);
    EXPECT_TRUE(host.process().wait(15s).has_value());
  }

  testing_support::HostProcess host;
  std::unique_ptr<enginelink::LinkClient> client;
};

std::string hostExecutable() { return std::filesystem::canonical(PROXYHOST_BIN).string(); }

// A host whose configuration folder is the test's own, and where its autostart entry would be.
class LaunchAtLoginEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(client_); }

  testing_support::TempDir config_;
  HostWithConfig host_{config_.path()};
  std::unique_ptr<enginelink::LinkClient>& client_ = host_.client;
  const std::string entry_ = config_.path() + "/autostart/" + PROXYHOST_BUNDLE_ID + ".desktop";
};

TEST_F(LaunchAtLoginEndToEnd, SettingItWritesAndRemovesTheAutostartEntry) {
  EXPECT_EQ(call(*client_, "launchAtStartupIsEnabled"), Reply(EncodableValue(false)));
  EXPECT_EQ(call(*client_, "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", true}}),
            Reply(EncodableValue()));
  ASSERT_TRUE(std::filesystem::exists(entry_));
  const std::string text = testing_support::readFile(entry_);
  // It starts the host that wrote it.
  EXPECT_NE(text.find("\nExec=" + hostExecutable() + "\n"), std::string::npos) << text;
  EXPECT_EQ(call(*client_, "launchAtStartupIsEnabled"), Reply(EncodableValue(true)));

  EXPECT_EQ(call(*client_, "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", false}}),
            Reply(EncodableValue()));
  EXPECT_FALSE(std::filesystem::exists(entry_));
  EXPECT_EQ(call(*client_, "launchAtStartupIsEnabled"), Reply(EncodableValue(false)));
  // Disabling what is not registered is refused by the registry: logged, answered all the same.
  EXPECT_EQ(call(*client_, "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", false}}),
            Reply(EncodableValue()));

  host_.quit();
}

// What the Flutter side reads is what the desktop would do; a write that cannot land is answered
// with nothing, and the read after it tells the truth.
TEST_F(LaunchAtLoginEndToEnd, ReadsOnlyAnEntryOfOursAndAFailedWriteLeavesTheStateToRead) {
  std::filesystem::create_directories(config_.path() + "/autostart");
  for (const std::string& text : {std::string(), std::string("\x7f\x45\x4c\x46\x02\x01garbage"),
                                  std::string("Type=Application\nExec=" + hostExecutable() + "\n")}) {
    std::ofstream(entry_) << text;
    EXPECT_EQ(call(*client_, "launchAtStartupIsEnabled"), Reply(EncodableValue(false))) << text;
  }
  std::filesystem::remove(entry_);
  std::filesystem::create_directory(entry_);
  EXPECT_EQ(call(*client_, "launchAtStartupIsEnabled"), Reply(EncodableValue(false)));
  EXPECT_EQ(call(*client_, "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", false}}),
            Reply(EncodableValue()));
  EXPECT_FALSE(std::filesystem::exists(entry_));

  host_.quit();

  // A configuration folder that is a file: nothing can be written; the refusal is logged, the
  // reply is nothing, and a read tells the Flutter side the state.
  const std::string notAFolder = config_.file("file");
  std::ofstream(notAFolder) << "";
  HostWithConfig blocked(notAFolder);
  ASSERT_TRUE(blocked.client);
  EXPECT_EQ(call(*blocked.client, "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", true}}),
            Reply(EncodableValue()));
  EXPECT_EQ(call(*blocked.client, "launchAtStartupIsEnabled"), Reply(EncodableValue(false)));
  blocked.quit();
}

}  // namespace
