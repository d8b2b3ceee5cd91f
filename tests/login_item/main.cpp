// The login item tests run as an application whose bundle identifier is known before anything
// asks for it: the service forms its helper identifier once, at first use.
#include <gtest/gtest.h>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSUserDefaults.h"
#include "tests/login_item/FakeLoginItemRegistry.h"
#include "tests/support/TestSupport.h"

std::string login_item_testing::testConfigHome;

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({{"CFBundleIdentifier", "org.example.Client"}}));
  // Never the user's own settings.
  testing_support::TempDir config;
  login_item_testing::testConfigHome = config.path();
  NSUserDefaults::resetStandardUserDefaultsForTesting(config.path());
  return RUN_ALL_TESTS();
}
