// An application without a bundle identifier has no helper to name: the legacy path reads false
// and switches nothing, and the migration removes no legacy item. (Its own process, since the
// helper identifier is formed once, at first use.)
#include <gtest/gtest.h>

#include "login_item/LaunchAtLogin.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSUserDefaults.h"
#include "tests/login_item/FakeLoginItemRegistry.h"
#include "tests/support/TestSupport.h"

namespace {

using login_item_testing::EventLog;
using login_item_testing::FakeLoginItemRegistry;

TEST(WithoutABundleIdentifier, TheLegacyPathChangesNothingAndTheModernPathStillWorks) {
  NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({}));
  testing_support::TempDir config;
  NSUserDefaults::resetStandardUserDefaultsForTesting(config.path());
  auto log = std::make_shared<EventLog>();
  auto registry = std::make_shared<FakeLoginItemRegistry>(log);
  SMLoginItemRegistry::setCurrentForTesting(registry);
  // A helper of the empty name, on: it must not be taken for ours.
  registry->jobs = CFValue::array({CFValue::dictionary({{"Label", "-LaunchAtLoginHelper"}, {"OnDemand", true}})});

  NSProcessInfo::processInfo().setOperatingSystemVersionForTesting({12, 6, 0});
  EXPECT_FALSE(LaunchAtLogin::isEnabled());
  std::vector<bool> published;
  auto token = LaunchAtLogin::publisher().sink([&](bool v) { published.push_back(v); });
  LaunchAtLogin::setIsEnabled(true);
  EXPECT_EQ(*log, EventLog{});
  EXPECT_EQ(published, (std::vector<bool>{false, true}));  // observers are told all the same

  NSProcessInfo::processInfo().setOperatingSystemVersionForTesting({14, 0, 0});
  LaunchAtLogin::migrateIfNeeded();
  EXPECT_EQ(*log, EventLog{});
  EXPECT_TRUE(NSUserDefaults::standardUserDefaults().boolForKey("LaunchAtLogin__hasMigrated"));
  LaunchAtLogin::setIsEnabled(true);
  EXPECT_EQ(*log, EventLog{"register(main)"});
  EXPECT_TRUE(LaunchAtLogin::isEnabled());

  SMLoginItemRegistry::setCurrentForTesting(nullptr);
  NSUserDefaults::resetStandardUserDefaultsForTesting(std::nullopt);
}

}  // namespace
