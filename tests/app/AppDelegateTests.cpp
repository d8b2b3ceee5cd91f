// The delegate's lifecycle policy, seen through the platform's application and windows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "app/AppDelegate.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWindow.h"

namespace {

class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = &NSApplication::sharedApplication();
    delegate_ = std::make_shared<AppDelegate>();
    app_->setDelegate(delegate_);
    // Terminating would end the test process with status 0 and hide the failure: fail loudly.
    NSNotificationCenter::defaultCenter().addObserver(
        this, [](const NSNotification&) { std::abort(); }, NSApplicationWillTerminateNotification);
  }
  void TearDown() override {
    NSNotificationCenter::defaultCenter().removeObserver(this);
    app_->setDelegate(nullptr);
  }

  static std::unique_ptr<NSWindow> makeWindow() {
    return std::make_unique<NSWindow>(NSMakeRect(0, 0, 400, 300), NSWindowStyleMaskTitled, NSBackingStoreBuffered,
                                      false);
  }

  NSApplication* app_ = nullptr;
  std::shared_ptr<AppDelegate> delegate_;
};

TEST_F(AppDelegateTest, KeepsRunningWithoutWindowsAndRestoresStateSecurely) {
  EXPECT_FALSE(delegate_->applicationShouldTerminateAfterLastWindowClosed(*app_));
  EXPECT_TRUE(delegate_->applicationSupportsSecureRestorableState(*app_));

  auto window = makeWindow();
  window->makeKeyAndOrderFront(nullptr);
  window->close();  // the platform asks the delegate; a terminate would abort this test
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(app_->windows().size(), 1u);
}

TEST_F(AppDelegateTest, ReopenWithAVisibleWindowChangesNothing) {
  auto shown = makeWindow();
  auto hidden = makeWindow();
  shown->makeKeyAndOrderFront(nullptr);
  int activations = app_->activationCount();

  EXPECT_TRUE(app_->reopen());

  EXPECT_FALSE(hidden->isVisible());
  EXPECT_TRUE(shown->isKeyWindow());
  EXPECT_EQ(app_->activationCount(), activations);
}

TEST_F(AppDelegateTest, ReopenShowsTheOnlyHiddenWindowKeyAndFront) {
  auto window = makeWindow();
  window->makeKeyAndOrderFront(nullptr);
  window->orderOut(nullptr);
  ASSERT_FALSE(window->isVisible());
  ASSERT_EQ(app_->keyWindow(), nullptr);
  int activations = app_->activationCount();

  EXPECT_TRUE(app_->reopen());

  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(window->isKeyWindow());
  EXPECT_EQ(app_->orderedWindows().front(), window.get());
  EXPECT_EQ(app_->activationCount(), activations + 1);
  EXPECT_TRUE(app_->isActive());
}

TEST_F(AppDelegateTest, ReopenWithTwoHiddenWindowsLeavesTheSecondKeyAndActivatesTwice) {
  auto first = makeWindow();
  auto second = makeWindow();
  int activations = app_->activationCount();

  EXPECT_TRUE(app_->reopen());

  EXPECT_TRUE(first->isVisible());
  EXPECT_TRUE(second->isVisible());
  EXPECT_TRUE(second->isKeyWindow());
  EXPECT_FALSE(first->isKeyWindow());
  ASSERT_EQ(app_->orderedWindows().size(), 2u);
  EXPECT_EQ(app_->orderedWindows()[0], second.get());
  EXPECT_EQ(app_->orderedWindows()[1], first.get());
  EXPECT_EQ(app_->activationCount(), activations + 2);
}

TEST_F(AppDelegateTest, ReopenWithoutWindowsMakesNone) {
  ASSERT_TRUE(app_->windows().empty());
  int activations = app_->activationCount();

  EXPECT_TRUE(app_->reopen());

  EXPECT_TRUE(app_->windows().empty());
  EXPECT_EQ(app_->activationCount(), activations);
}

}  // namespace
