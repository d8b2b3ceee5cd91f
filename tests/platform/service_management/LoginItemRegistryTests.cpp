// The login-item registry: XDG autostart entries and the legacy job table.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/NSBundle.h"
#include "platform/service_management/XDGLoginItemRegistry.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::TempDir;

class XDGRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NSBundle::overrideMainBundleForTesting(
        NSBundle::bundleWithInfo({{"CFBundleIdentifier", "org.example.Client"}, {"CFBundleName", "Client"}}));
  }
  void TearDown() override { NSBundle::overrideMainBundleForTesting(std::nullopt); }

  TempDir config_;
  XDGLoginItemRegistry registry_{{config_.path(), "/opt/Client.app/Contents/MacOS/client"}};
  const SMAppService main_ = SMAppService::mainAppService();
  std::string entry_ = config_.path() + "/autostart/org.example.Client.desktop";
};

TEST_F(XDGRegistryTest, RegisterWritesAnEntryThatStartsTheAppAndUnregisterRemovesIt) {
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::notRegistered);
  ASSERT_EQ(registry_.registerService(main_), std::nullopt);
  EXPECT_EQ(readFile(entry_),
            "[Desktop Entry]\nType=Application\nName=Client\nExec=/opt/Client.app/Contents/MacOS/client\n"
            "Terminal=false\n");
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::enabled);
  // Registering again replaces the entry in one step and leaves no temporary file behind.
  ASSERT_EQ(registry_.registerService(main_), std::nullopt);
  EXPECT_EQ(std::distance(fs::directory_iterator(config_.path() + "/autostart"), fs::directory_iterator()), 1);

  EXPECT_EQ(registry_.unregisterService(main_), std::nullopt);
  EXPECT_FALSE(fs::exists(entry_));
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::notRegistered);
  auto error = registry_.unregisterService(main_);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code(), kSMErrorJobNotFound);
  EXPECT_EQ(error->localizedDescription(), "The login item is not registered.");
}

TEST_F(XDGRegistryTest, AnEntryIsEnabledUnlessTheDesktopSwitchedItOff) {
  const std::string ours = "[Desktop Entry]\nType=Application\nExec=/opt/Client.app/Contents/MacOS/client\n";
  const std::vector<std::pair<std::string, bool>> cases = {
      {ours, true},
      {ours + "Hidden=true\n", false},
      {ours + "Hidden = true\n", false},
      {ours + "Hidden=false\n", true},
      {ours + "X-GNOME-Autostart-enabled=false\n", false},
      {ours + "X-GNOME-Autostart-enabled=true\n", true},
      {"# Hidden=true\n" + ours + "[Desktop Action quit]\nHidden=true\n", true},
      // What it reads is what a desktop would start: only a desktop entry of ours.
      {"", false},
      {"\n\n# nothing\n", false},
      {std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), false},
      {"Type=Application\nExec=/opt/Client.app/Contents/MacOS/client\n", false},
      {"[Desktop Action quit]\nExec=x\n" + ours, false},
      {ours + "[Desktop Entry]\nHidden=true\n", false},
      {"[Desktop Entry]\nExec=/opt/Client.app/Contents/MacOS/client\n", false},
      {"[Desktop Entry]\nType=Link\nExec=/opt/Client.app/Contents/MacOS/client\n", false},
      {"[Desktop Entry]\nType=Application\n", false},
      {"[Desktop Entry]\nType=Application\nExec=/usr/bin/other\n", false},
      {"[Desktop Entry]\nType=Application\nExec=/opt/Client.app/Contents/MacOS/client2\n", false},
      {"[Desktop Entry]\nType=Application\nExec=\"/opt/Client.app/Contents/MacOS/client\n", false},
      {ours + "this line is no key\n", false},
      {ours + std::string("Name=a\0b\n", 9), false},
      // Written otherwise, the same program, or the last of two values.
      {"[Desktop Entry]\r\nType=Application\r\nExec=\"/opt/Client.app/Contents/MacOS/client\" %U\r\n", true},
      {"[Desktop Entry]\nType=Application\nExec=/usr/bin/other\nExec=/opt/Client.app/Contents/MacOS/client\n", true},
  };
  fs::create_directories(config_.path() + "/autostart");
  for (const auto& [text, enabled] : cases) {
    std::ofstream(entry_, std::ios::binary) << text;
    EXPECT_EQ(registry_.statusOf(main_), enabled ? SMAppServiceStatus::enabled : SMAppServiceStatus::notRegistered)
        << text;
  }
  // Registering over a switched-off entry switches it on; unregistering removes it.
  ASSERT_EQ(registry_.registerService(main_), std::nullopt);
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::enabled);
}

TEST_F(XDGRegistryTest, AFolderAtTheEntrysPathIsNotAnEntryAndGoesOnlyWhenEmpty) {
  fs::create_directories(entry_);
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::notRegistered);
  EXPECT_TRUE(registry_.registerService(main_).has_value());
  EXPECT_EQ(registry_.unregisterService(main_), std::nullopt);
  EXPECT_FALSE(fs::exists(entry_));

  // Someone's folder with something in it stays as it is.
  fs::create_directories(entry_);
  std::ofstream(entry_ + "/keep") << "mine";
  auto error = registry_.unregisterService(main_);
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->localizedDescription().find("Directory not empty"), std::string::npos);
  EXPECT_EQ(readFile(entry_ + "/keep"), "mine");
  fs::remove_all(entry_);

  // A link goes, and what it points at stays.
  const std::string target = config_.file("target.desktop");
  std::ofstream(target) << "[Desktop Entry]\nType=Application\nExec=/opt/Client.app/Contents/MacOS/client\n";
  fs::create_symlink(target, entry_);
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::enabled);
  EXPECT_EQ(registry_.unregisterService(main_), std::nullopt);
  EXPECT_FALSE(fs::is_symlink(entry_));
  EXPECT_TRUE(fs::exists(target));
}

TEST_F(XDGRegistryTest, AnIdentifierThatCannotNameAFileIsNotFoundAndWritesNothing) {
  for (const char* id : {"", "../escape", "a/b", ".hidden"}) {
    NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({{"CFBundleIdentifier", id}}));
    EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::notFound) << id;
    EXPECT_TRUE(registry_.registerService(main_).has_value()) << id;
    EXPECT_TRUE(registry_.unregisterService(main_).has_value()) << id;
  }
  NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({}));
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::notFound);
  EXPECT_FALSE(fs::exists(config_.path() + "/autostart"));
  EXPECT_FALSE(fs::exists(config_.path() + "/escape.desktop"));
}

TEST_F(XDGRegistryTest, FailuresComeBackAsErrors) {
  // A file where the autostart folder should be.
  std::ofstream(config_.path() + "/autostart") << "";
  auto error = registry_.registerService(main_);
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->localizedDescription().find("/autostart"), std::string::npos);
  // A helper application is not shipped here, but a helper's stale entry can still be removed.
  fs::remove(config_.path() + "/autostart");
  fs::create_directories(config_.path() + "/autostart");
  auto helper = SMAppService::loginItemServiceWithIdentifier("org.example.Client-Helper");
  EXPECT_TRUE(registry_.registerService(helper).has_value());
  std::ofstream(config_.path() + "/autostart/org.example.Client-Helper.desktop")
      << "[Desktop Entry]\nType=Application\nExec=/opt/Client.app/Contents/Library/LoginItems/helper\n";
  EXPECT_EQ(registry_.statusOf(helper), SMAppServiceStatus::enabled);
  EXPECT_EQ(registry_.unregisterService(helper), std::nullopt);
  EXPECT_EQ(registry_.statusOf(helper), SMAppServiceStatus::notRegistered);
}

TEST(XDGDesktopEntryExec, KeepsEveryPathOnePath) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/opt/app/bin/client", "/opt/app/bin/client"},
      {"/home/me/My Apps/client", "\"/home/me/My Apps/client\""},
      {"/opt/100%/client", "/opt/100%%/client"},
      {"/opt/a\"b$c`d/client", "\"/opt/a\\\\\"b\\\\$c\\\\`d/client\""},
      {"/opt/back\\slash", "\"/opt/back\\\\\\\\slash\""},
      {"/opt/new\nline", "\"/opt/new\\nline\""},
      {"/opt/semi;colon", "\"/opt/semi;colon\""},
  };
  for (const auto& [path, exec] : cases) {
    EXPECT_EQ(XDGDesktopEntryExecValue(path), exec) << path;
    EXPECT_EQ(XDGDesktopEntryExecArguments(exec), std::vector<std::string>{path}) << exec;
  }
  EXPECT_EQ(XDGDesktopEntryExecArguments("a \"b c\"  %U 100%%"), (std::vector<std::string>{"a", "b c", "%U", "100%"}));
  for (const char* broken : {"\"open", "a\"b", "\"a\"b", "x\\q", "ends\\", "\"bad \\\\q\""}) {
    EXPECT_EQ(XDGDesktopEntryExecArguments(broken), std::nullopt) << broken;
  }
}

TEST(XDGLegacyJobTable, SetEnabledReplacesTheJobsWithTheLabelAndLeavesOtherShapesAlone) {
  XDGLoginItemRegistry registry;
  auto jobs = [&] { return registry.copyAllJobDictionaries(kSMDomainUserLaunchd); };
  const CFValue other = CFValue::dictionary({{"Label", "org.other"}, {"OnDemand", false}});
  registry.setJobDictionaries(CFValue::array({other, CFValue::dictionary({{"Label", "h"}, {"OnDemand", false}})}));

  EXPECT_TRUE(registry.setLoginItemEnabled("h", true));
  EXPECT_EQ(jobs(), CFValue::array({other, CFValue::dictionary({{"Label", "h"}, {"OnDemand", true}})}));
  EXPECT_TRUE(registry.setLoginItemEnabled("h", false));
  EXPECT_EQ(jobs(), CFValue::array({other}));
  EXPECT_EQ(registry.copyAllJobDictionaries(kSMDomainSystemLaunchd), std::nullopt);

  registry.setJobDictionaries(CFValue("not a list"));
  EXPECT_FALSE(registry.setLoginItemEnabled("h", true));
  EXPECT_EQ(jobs(), CFValue("not a list"));
  registry.setJobDictionaries(std::nullopt);
  EXPECT_EQ(jobs(), std::nullopt);
}

}  // namespace
