// The "launch_at_startup" channel as the Flutter side sees it, through a test binary messenger.
#include <gtest/gtest.h>

#include "login_item/LaunchAtLogin.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/oslog/Logger.h"
#include "tests/login_item/FakeLoginItemRegistry.h"
#include "tests/support/TestSupport.h"

namespace {

using login_item_testing::EventLog;
using login_item_testing::FakeLoginItemRegistry;
using testing_support::NotImplemented;
using testing_support::Reply;

class LaunchAtStartupChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SMLoginItemRegistry::setCurrentForTesting(registry_);
    NSProcessInfo::processInfo().setOperatingSystemVersionForTesting({14, 0, 0});
    FlutterMethodChannel::methodChannelWithName("launch_at_startup", messenger_)
        ->setMethodCallHandler([](const FlutterMethodCall& call, FlutterResult result) {
          LaunchAtLogin::handleLaunchAtStartupCall(call, std::move(result));
        });
  }
  void TearDown() override { SMLoginItemRegistry::setCurrentForTesting(nullptr); }

  std::shared_ptr<EventLog> log_ = std::make_shared<EventLog>();
  std::shared_ptr<FakeLoginItemRegistry> registry_ = std::make_shared<FakeLoginItemRegistry>(log_);
  testing_support::TestBinaryMessenger messenger_;
};

TEST_F(LaunchAtStartupChannelTest, AnswersEachCallOnceAndChangesOnlyWhatItShould) {
  const Reply nothing = EncodableValue();
  const Reply badArgs = FlutterError{"BAD_ARGS", "setEnabledValue must be a Boolean", {}};
  struct Case {
    const char* name;
    SMAppServiceStatus before;
    std::string method;
    EncodableValue arguments;
    Reply expected;
    EventLog changes;
  };
  const std::vector<Case> cases = {
      {"reads true", SMAppServiceStatus::enabled, "launchAtStartupIsEnabled", {}, EncodableValue(true), {}},
      {"reads false awaiting approval",
       SMAppServiceStatus::requiresApproval,
       "launchAtStartupIsEnabled",
       {},
       EncodableValue(false),
       {}},
      {"the read ignores its arguments",
       SMAppServiceStatus::enabled,
       "launchAtStartupIsEnabled",
       EncodableMap{{"setEnabledValue", false}},
       EncodableValue(true),
       {}},
      {"sets true",
       SMAppServiceStatus::notRegistered,
       "launchAtStartupSetEnabled",
       EncodableMap{{"setEnabledValue", true}},
       nothing,
       {"register(main)"}},
      {"sets false",
       SMAppServiceStatus::enabled,
       "launchAtStartupSetEnabled",
       EncodableMap{{"setEnabledValue", false}, {"extra", 1}},
       nothing,
       {"unregister(main)"}},
      {"no arguments", SMAppServiceStatus::enabled, "launchAtStartupSetEnabled", {}, nothing, {}},
      {"a list", SMAppServiceStatus::enabled, "launchAtStartupSetEnabled", EncodableList{false}, nothing, {}},
      {"a map with a key that is not a string",
       SMAppServiceStatus::enabled,
       "launchAtStartupSetEnabled",
       EncodableMap{{"setEnabledValue", false}, {int32_t{1}, "x"}},
       nothing,
       {}},
      {"no setEnabledValue",
       SMAppServiceStatus::enabled,
       "launchAtStartupSetEnabled",
       EncodableMap{{"enabled", false}},
       badArgs,
       {}},
      {"a string setEnabledValue",
       SMAppServiceStatus::enabled,
       "launchAtStartupSetEnabled",
       EncodableMap{{"setEnabledValue", "false"}},
       badArgs,
       {}},
      {"an integer setEnabledValue",
       SMAppServiceStatus::enabled,
       "launchAtStartupSetEnabled",
       EncodableMap{{"setEnabledValue", int32_t{0}}},
       badArgs,
       {}},
      {"a null setEnabledValue",
       SMAppServiceStatus::enabled,
       "launchAtStartupSetEnabled",
       EncodableMap{{"setEnabledValue", nullptr}},
       badArgs,
       {}},
      {"another method", SMAppServiceStatus::enabled, "launchAtStartupToggle", {}, NotImplemented{}, {}},
      {"names compare exactly", SMAppServiceStatus::enabled, "LaunchAtStartupIsEnabled", {}, NotImplemented{}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    registry_->mainStatus = c.before;
    log_->clear();
    auto reply = testing_support::callMethod(messenger_, c.method, c.arguments);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, c.expected);
    EXPECT_EQ(*log_, c.changes);

    // Called directly: exactly one answer, given before the handler returns.
    registry_->mainStatus = c.before;
    log_->clear();
    int answers = 0;
    LaunchAtLogin::handleLaunchAtStartupCall({c.method, c.arguments}, [&](FlutterResultValue) { ++answers; });
    EXPECT_EQ(answers, 1);
  }
}

// A refusal is logged, and the reply is nothing all the same: the Flutter side reads the state
// that resulted with launchAtStartupIsEnabled.
TEST_F(LaunchAtStartupChannelTest, ARefusedWriteIsLoggedAndAnsweredWithNothing) {
  OSLogCapture capture;
  registry_->registerFailure = NSError("SMAppServiceErrorDomain", 1, "Cannot create /x/autostart: Not a directory.");
  EXPECT_EQ(
      testing_support::callMethod(messenger_, "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", true}}),
      Reply(EncodableValue()));
  EXPECT_EQ(testing_support::callMethod(messenger_, "launchAtStartupIsEnabled"), Reply(EncodableValue(false)));
  ASSERT_EQ(capture.entries().size(), 1u);
  EXPECT_EQ(capture.entries()[0].message,
            "Failed to enable launch at login: Cannot create /x/autostart: Not a directory.");
}

}  // namespace
