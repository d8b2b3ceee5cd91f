// The ready-made toggle: its label, and how every toggle on screen follows every write.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "login_item/LaunchAtLoginToggle.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/oslog/Logger.h"
#include "tests/login_item/FakeLoginItemRegistry.h"
#include "tests/support/TestSupport.h"

namespace {

using login_item_testing::EventLog;
using login_item_testing::FakeLoginItemRegistry;

// An application bundle whose English table translates the toggle's default title.
class LaunchAtLoginToggleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(bundle_.path() + "/Contents/Resources/en.lproj");
    std::ofstream(bundle_.path() + "/Contents/Info.plist")
        << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
        << "<key>CFBundleIdentifier</key><string>org.example.Client</string>"
        << "<key>CFBundleDevelopmentRegion</key><string>en</string></dict></plist>";
    std::ofstream(bundle_.path() + "/Contents/Resources/en.lproj/Localizable.strings")
        << "/* The toggle */\n\"Launch at login\" = \"Open at login\";\n";
    NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithPath(bundle_.path()));
    SMLoginItemRegistry::setCurrentForTesting(registry_);
    NSProcessInfo::processInfo().setOperatingSystemVersionForTesting({14, 0, 0});
  }
  void TearDown() override {
    SMLoginItemRegistry::setCurrentForTesting(nullptr);
    NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({{"CFBundleIdentifier", "org.example.Client"}}));
  }

  testing_support::TempDir bundle_;
  std::shared_ptr<EventLog> log_ = std::make_shared<EventLog>();
  std::shared_ptr<FakeLoginItemRegistry> registry_ = std::make_shared<FakeLoginItemRegistry>(log_);
};

TEST_F(LaunchAtLoginToggleTest, ShowsItsTitleAsGivenOrLookedUp) {
  using SwiftUI::renderView;
  const std::vector<std::tuple<const char*, SwiftUI::ViewNode, std::string>> cases = {
      {"init() shows the default title as it is", renderView(LaunchAtLogin::Toggle()), "Launch at login"},
      {"a literal is a key", renderView(LaunchAtLogin::Toggle("Launch at login")), "Open at login"},
      {"a LocalizedStringKey is looked up",
       renderView(LaunchAtLogin::Toggle(SwiftUI::LocalizedStringKey(std::string("Launch at login")))), "Open at login"},
      {"a key the table lacks shows itself",
       renderView(LaunchAtLogin::Toggle(SwiftUI::LocalizedStringKey(std::string("Start at login")))), "Start at login"},
      {"a string is shown as it is", renderView(LaunchAtLogin::Toggle(std::string("Launch at login"))),
       "Launch at login"},
      {"any label view", renderView(LaunchAtLogin::Toggle([] {
         return SwiftUI::VStack(SwiftUI::Text::verbatim("Now:"), SwiftUI::Text("Launch at login"));
       })),
       "Now: Open at login"},
  };
  for (const auto& [name, node, title] : cases) {
    ASSERT_EQ(node.kind, SwiftUI::ViewNode::Kind::toggle) << name;
    EXPECT_EQ(node.shownText(), title) << name;
  }
}

TEST_F(LaunchAtLoginToggleTest, BuildsItsLabelOnceAndReadsTheStateAtEveryDrawing) {
  int built = 0;
  LaunchAtLogin::Toggle toggle([&] {
    ++built;
    return SwiftUI::Text::verbatim("x");
  });
  for (auto status : {SMAppServiceStatus::enabled, SMAppServiceStatus::requiresApproval, SMAppServiceStatus::enabled}) {
    registry_->mainStatus = status;
    EXPECT_EQ(SwiftUI::renderView(toggle).isOn, status == SMAppServiceStatus::enabled);
  }
  EXPECT_EQ(built, 1);
}

TEST_F(LaunchAtLoginToggleTest, TwoTogglesRedrawTogetherAfterEveryWriteWithTheRegistrysState) {
  registry_->mainStatus = SMAppServiceStatus::notRegistered;
  SwiftUI::ViewHost host{SwiftUI::VStack(LaunchAtLogin::Toggle(), LaunchAtLogin::Toggle("Launch at login"))};
  auto shown = [&] {
    std::vector<bool> states;
    for (const auto* t : host.rendered().toggles()) states.push_back(t->isOn);
    return states;
  };
  auto click = [&](size_t i) { host.rendered().toggles().at(i)->click(); };
  ASSERT_EQ(shown(), (std::vector<bool>{false, false}));
  EXPECT_EQ(host.observedObjectCount(), 1u);

  OSLogCapture quiet;
  struct Step {
    const char* name;
    std::function<void()> act;
    bool expected;
  };
  const std::vector<Step> steps = {
      {"flipping the first", [&] { click(0); }, true},
      {"flipping the second", [&] { click(1); }, false},
      {"the static property", [] { LaunchAtLogin::setIsEnabled(true); }, true},
      {"the KVO object", [] { LaunchAtLogin::kvo()->setIsEnabled(false); }, false},
      {"the channel",
       [] {
         LaunchAtLogin::handleLaunchAtStartupCall(
             {"launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", true}}}, [](FlutterResultValue) {});
       },
       true},
      {"two writes before the redraw",
       [] {
         LaunchAtLogin::setIsEnabled(false);
         LaunchAtLogin::setIsEnabled(false);
       },
       false},
      {"a flip the platform refuses",
       [&] {
         registry_->registerFailure = NSError("SMAppServiceErrorDomain", 1, "Operation not permitted");
         click(0);
       },
       false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    size_t drawn = host.evaluationCount();
    std::vector<bool> before = shown();
    step.act();
    // Announced before the change: the redraw waits for the main queue.
    EXPECT_TRUE(host.hasPendingUpdate());
    EXPECT_EQ(shown(), before);
    ASSERT_TRUE(runMainQueueUntil([&] { return !host.hasPendingUpdate(); }, std::chrono::seconds(5)));
    EXPECT_EQ(host.evaluationCount(), drawn + 1);
    EXPECT_EQ(shown(), (std::vector<bool>{step.expected, step.expected}));
  }
}

}  // namespace
