// The window in a Wayland session, as GNOME's default session on Debian runs it: a headless weston
// with a private session bus and accessibility bus. The window maps, closes, and a second start
// (the desktop entry's id is the application's) shows it again from the running host.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>

#include "tests/e2e/MacsimHost.h"
#include "tests/e2e/XDesktop.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::eventually;

const std::string kTitle = "ProxyHost";

class WaylandEndToEnd : public testing_support::MacsimHostTest {
 protected:
  void SetUp() override {
    MacsimHostTest::SetUp();
    const std::string home = dir_.file("home");
    for (const char* folder : {"weston", "a11y"}) std::filesystem::create_directories(dir_.file(folder));
    env_ = testing_support::desktopSessionEnvironment(home, "wayland");
    env_["WAYLAND_DISPLAY"] = "wayland-proxyhost-test";
    env_["DISPLAY"] = "";
    compositor_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/weston", "--backend=headless-backend.so", "--socket=wayland-proxyhost-test",
                                 "--idle-time=0", "--no-config"},
        env_, dir_.file("weston"));
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(home + "/runtime/wayland-proxyhost-test"); }, 15s))
        << compositor_->standardError();
    std::string address, failure;
    bus_ = testing_support::startSessionBus(dir_.file("bus"), &address, &failure);
    ASSERT_TRUE(bus_) << failure;
    env_["DBUS_SESSION_BUS_ADDRESS"] = address;
    accessibility_ = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/libexec/at-spi-bus-launcher"}, env_,
                                                    dir_.file("a11y"));
  }

  void TearDown() override {
    host_.reset();
    for (auto* process : {&accessibility_, &bus_, &compositor_}) {
      if (*process) {
        (*process)->signal(SIGTERM);
        (*process)->wait(5s);
      }
    }
  }

  bool drive(const std::vector<std::string>& step) {
    std::vector<std::string> argv = {"/usr/bin/python3", PROXYHOST_UI_DRIVER};
    argv.insert(argv.end(), step.begin(), step.end());
    std::filesystem::create_directories(dir_.file("driver"));
    ChildProcess driver(argv, env_, dir_.file("driver"));
    auto status = driver.wait(60s);
    const bool ok = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    EXPECT_TRUE(ok) << driver.standardError() << "\nhost:\n" << (host_ ? host_->standardError() : "");
    return ok;
  }

  std::map<std::string, std::string> env_;
  std::unique_ptr<ChildProcess> compositor_, bus_, accessibility_;
};

TEST_F(WaylandEndToEnd, TheWindowMapsClosesAndASecondStartShowsItAgain) {
  startHost(env_, HostReady::armed);
  EXPECT_NE(host_->standardError().find("Windows on display wayland-proxyhost-test"), std::string::npos)
      << host_->standardError();
  ASSERT_TRUE(drive({"window", kTitle, "1", "20"}));
  ASSERT_TRUE(drive({"close-window", kTitle, "--", "window", kTitle, "0", "10"}));
  EXPECT_FALSE(host_->wait(0ms)) << "closing the window ended the host";

  expectASecondStartReachesTheRunningHost(env_);
  EXPECT_TRUE(drive({"window", kTitle, "1", "20"}));
}

}  // namespace
