// The host's window as a desktop user meets it, on an X server of the test's own: it maps with the
// bundle's title and size, closing leaves the host serving, a second start shows it again, Quit
// runs both cleanups, and the size comes back at the next start. Screenshots of each state are
// kept under build/screenshots.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <utility>

#include "tests/e2e/FakeSessionManager.h"
#include "tests/e2e/MacsimHost.h"
#include "tests/e2e/XDesktop.h"

namespace {

using namespace std::chrono_literals;
using testing_support::callOver;
using testing_support::ChildProcess;
using testing_support::eventually;
using testing_support::RunLog;

const std::string kTitle = "ProxyHost";  // the bundle's CFBundleName
const std::string& kTool = testing_support::kNetworkSetupTool;

// The runs that changed something. The window's interface reads the services (-list..., -get...)
// whenever it likes, so what a cleanup did shows in its changes, which only a cleanup makes here.
RunLog changes(const RunLog& runs) {
  RunLog result;
  for (const auto& run : runs) {
    if (run.size() > 1 && run[1].starts_with("-set")) result.push_back(run);
  }
  return result;
}

// The changes of one cleanup of the simulated world's enabled services, `times` over.
RunLog cleanups(int times) {
  RunLog runs;
  for (int i = 0; i < times; ++i) {
    for (const char* service : {"Wi-Fi", "Ethernet", "Thunderbolt Bridge"}) {
      for (const char* setting : {"-setwebproxystate", "-setsecurewebproxystate", "-setsocksfirewallproxystate"}) {
        runs.push_back({kTool, setting, service, "off"});
      }
    }
  }
  return runs;
}

class WindowEndToEnd : public testing_support::MacsimHostTest {
 protected:
  void SetUp() override {
    MacsimHostTest::SetUp();
    ASSERT_TRUE(desktop_.ready()) << desktop_.failure();
  }

  void startWindowed() { startHost(desktop_.environment(), HostReady::armed); }

  // The host's one shown window, once it is shown and has the focus.
  std::string shownWindow() {
    std::vector<std::string> windows;
    EXPECT_TRUE(eventually(
        [&] {
          windows = desktop_.shownWindows(kTitle);
          return windows.size() == 1 && desktop_.focusedWindowName() == kTitle;
        },
        15s))
        << windows.size() << " windows shown, focus on \"" << desktop_.focusedWindowName() << "\"\n"
        << host_->standardError();
    return windows.empty() ? "" : windows.front();
  }

  // A screenshot of `window` in `state`, kept as build/screenshots/<test>-<state>.png; fails the
  // test when it is blank.
  std::string screenshot(const std::string& window, const std::string& state) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string path = std::string(PROXYHOST_SCREENSHOT_DIR) + "/" + test->name() + "-" + state + ".png";
    // A drawn window has text with smoothed edges, so many colours; a blank one has one. A window
    // just mapped may not have drawn its first frame yet.
    EXPECT_TRUE(eventually([&] { return desktop_.screenshot(window, path) && desktop_.colourCount(path) > 16; }, 5s))
        << "blank or no screenshot: " << path;
    return path;
  }

  std::string windowState() const {
    return testing_support::readFile(stateHome() + "/" PROXYHOST_BUNDLE_ID "/window-state");
  }

  testing_support::XDesktop desktop_;
};

TEST_F(WindowEndToEnd, MapsWithTheBundlesTitleAndSizeAndShowsWhoIsAttached) {
  startWindowed();
  const std::string window = shownWindow();
  ASSERT_FALSE(window.empty());
  auto size = desktop_.geometry(window);
  ASSERT_TRUE(size);
  EXPECT_EQ(size->width, 1100);
  EXPECT_EQ(size->height, 720);

  std::string shot = screenshot(window, "proxy-page");
  EXPECT_NE(desktop_.textIn(shot, 0, 0, size->width, 46).find(kTitle), std::string::npos) << "title bar of " << shot;
  // The built-in Flutter side draws the view; its General page shows the engine link and the test's
  // own connection as the outside Flutter side.
  desktop_.pressKeys({"alt+3"});
  // The "Flutter engine" rows sit in the middle column, below the page switcher and the first group.
  auto body = [&] { return desktop_.textIn(shot, size->width / 2 - 300, 220, 600, 130); };
  std::string attached;
  EXPECT_TRUE(eventually(
      [&] {
        shot = screenshot(window, "attached");
        attached = body();
        return attached.find("process " + std::to_string(getpid())) != std::string::npos;
      },
      10s))
      << attached;
  EXPECT_NE(attached.find("engine.sock"), std::string::npos) << attached;

  client_.reset();
  EXPECT_TRUE(eventually(
      [&] {
        shot = screenshot(window, "detached");
        return body().find("None attached") != std::string::npos;
      },
      10s));
}

TEST_F(WindowEndToEnd, ClosingLeavesTheHostServingAndASecondStartShowsTheWindowAgain) {
  startWindowed();
  ASSERT_FALSE(shownWindow().empty());

  desktop_.closeWindow(kTitle);
  ASSERT_TRUE(eventually([&] { return desktop_.shownWindows(kTitle).empty(); }, 10s));
  EXPECT_FALSE(host_->wait(0ms)) << "closing the window ended the host";
  EXPECT_EQ(callOver(*client_, "launch_at_startup", "launchAtStartupIsEnabled"),
            testing_support::Reply(EncodableValue(false)));

  // As from the desktop entry: no second host; the running one shows its window, focused.
  expectASecondStartReachesTheRunningHost(desktop_.environment());

  const std::string window = shownWindow();
  ASSERT_FALSE(window.empty());
  screenshot(window, "reopened");
  EXPECT_FALSE(host_->wait(0ms));
  EXPECT_TRUE(changes(hostRuns()).empty()) << "the second start ran a cleanup";

  // The window shown again is the one the application has: its Quit still ends the host.
  desktop_.pressKeys({"ctrl+q"});
  auto quit = host_->wait(20s);
  ASSERT_TRUE(quit) << "Ctrl+Q in the window shown again did not end the host";
  EXPECT_TRUE(WIFEXITED(*quit) && WEXITSTATUS(*quit) == 0) << *quit << host_->standardError();
  EXPECT_EQ(changes(hostRuns()), cleanups(2));
}

TEST_F(WindowEndToEnd, CtrlQRunsBothCleanupsAndExitsZero) {
  startWindowed();
  ASSERT_FALSE(shownWindow().empty());
  desktop_.pressKeys({"ctrl+q"});
  auto status = host_->wait(20s);
  ASSERT_TRUE(status) << "Ctrl+Q did not end the host";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
  EXPECT_EQ(changes(hostRuns()), cleanups(2));
}

TEST_F(WindowEndToEnd, QuitFromThePrimaryMenuRunsBothCleanupsAndExitsZero) {
  startWindowed();
  ASSERT_FALSE(shownWindow().empty());
  // F10 opens the primary menu in the header bar, its first entry selected.
  desktop_.pressKeys({"F10"});
  ASSERT_TRUE(eventually(
      [&] {
        // The menu drops from the button at the window's top right.
        std::string text = desktop_.textIn(screenshot("root", "menu"), 800, 100, 800, 250);
        return text.find("About " + kTitle) != std::string::npos && text.find("Quit") != std::string::npos;
      },
      10s));
  desktop_.pressKeys({"Down", "Return"});
  auto status = host_->wait(20s);
  ASSERT_TRUE(status) << "Quit in the menu did not end the host";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
  EXPECT_EQ(changes(hostRuns()), cleanups(2));
}

TEST_F(WindowEndToEnd, SigtermStillTakesItsOwnPath) {
  startWindowed();
  ASSERT_FALSE(shownWindow().empty());
  host_->signal(SIGTERM);
  auto status = host_->wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
  EXPECT_EQ(changes(hostRuns()), cleanups(1));
}

// Logout through the desktop's session manager: the application registered with the session, and
// the end of the session terminates it as Quit does.
TEST_F(WindowEndToEnd, LogoutThroughTheSessionManagerRunsBothCleanupsAndExitsZero) {
  testing_support::FakeSessionManager session(desktop_.environment().at("DBUS_SESSION_BUS_ADDRESS"));
  ASSERT_TRUE(session.serving());
  startWindowed();
  ASSERT_FALSE(shownWindow().empty());
  EXPECT_EQ(session.registeredClient(), std::optional<std::string>(PROXYHOST_BUNDLE_ID));
  session.endSession();
  auto status = host_->wait(20s);
  ASSERT_TRUE(status) << "the end of the session did not end the host";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
  EXPECT_EQ(changes(hostRuns()), cleanups(2));
  EXPECT_EQ(session.endSessionResponse(), std::optional<bool>(true));
}

// The desktop session ends without a session manager: the X server goes away, and the host
// terminates as on Quit rather than being cut off by its display connection.
TEST_F(WindowEndToEnd, TheDisplayGoingAwayTerminatesThroughThePlatform) {
  startWindowed();
  ASSERT_FALSE(shownWindow().empty());
  desktop_.stopDisplay();
  auto status = host_->wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
  EXPECT_EQ(changes(hostRuns()), cleanups(2));
}

// Another X client ends the window behind the host's back: `xdotool windowkill` (as xkill does, the
// host's connection to the display is closed with it) or a plain XDestroyWindow. Without its
// window the host cannot go on as the user sees it: it terminates through the platform, as when
// the display goes away, with both cleanups and status 0.
TEST_F(WindowEndToEnd, AnotherClientEndingTheWindowTerminatesThroughThePlatform) {
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> ways = {
      {"xdotool windowkill",
       [&](const std::string& w) {
         desktop_.tool({"/usr/bin/xdotool", "windowkill", w});
       }},
      {"XDestroyWindow", [&](const std::string& w) { EXPECT_TRUE(desktop_.destroyWindow(w)); }},
  };
  int ended = 0;
  for (const auto& [way, end] : ways) {
    SCOPED_TRACE(way);
    startWindowed();
    const std::string window = shownWindow();
    ASSERT_FALSE(window.empty());
    screenshot(window, "before " + way);  // drawn, as the user sees it: no first frame under way
    end(window);
    auto status = host_->wait(20s);
    ASSERT_TRUE(status) << "the host went on without its window";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
    EXPECT_EQ(changes(hostRuns()), cleanups(2 * ++ended));
  }
}

// Quit keeps the size the window has then, also one the user set a moment before (sooner than a
// resize is kept on its own, once the changes have settled).
TEST_F(WindowEndToEnd, QuitKeepsASizeSetJustBefore) {
  startWindowed();
  const std::string window = shownWindow();
  ASSERT_FALSE(window.empty());
  // --sync: back once the X server has the new size, which the host then hears of at once. A
  // size already kept when the quit comes proves nothing: then another one.
  for (const std::string width : {"900", "880", "860"}) {
    const std::string kept = width + " 640\n";
    desktop_.tool({"/usr/bin/xdotool", "windowsize", "--sync", window, width, "640"});
    if (windowState() == kept) continue;
    desktop_.pressKeys({"ctrl+q"});
    ASSERT_TRUE(host_->wait(20s));
    EXPECT_EQ(windowState(), kept);
    return;
  }
  GTEST_SKIP() << "each size was kept before the quit could follow it: too slow a machine to tell";
}

TEST_F(WindowEndToEnd, TheWindowSizeComesBackAtTheNextStart) {
  // A state file that does not read as sizes is passed over: the window has its loaded size.
  std::filesystem::create_directories(stateHome() + "/" PROXYHOST_BUNDLE_ID);
  std::ofstream(stateHome() + "/" PROXYHOST_BUNDLE_ID "/window-state") << "20 30\nwide tall\n";
  startWindowed();
  std::string window = shownWindow();
  ASSERT_FALSE(window.empty());
  auto loaded = desktop_.geometry(window);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->width, 1100);
  EXPECT_EQ(loaded->height, 720);
  desktop_.tool({"/usr/bin/xdotool", "windowsize", window, "900", "640"});
  EXPECT_TRUE(eventually([&] { return windowState() == "900 640\n"; }, 10s)) << windowState();
  desktop_.pressKeys({"ctrl+q"});
  ASSERT_TRUE(host_->wait(20s));

  startWindowed();
  window = shownWindow();
  ASSERT_FALSE(window.empty());
  auto size = desktop_.geometry(window);
  ASSERT_TRUE(size);
  EXPECT_EQ(size->width, 900);
  EXPECT_EQ(size->height, 640);
  screenshot(window, "restored");
}

}  // namespace
