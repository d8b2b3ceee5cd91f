// The private system itself: polkit answers the test user as its rule says, through the real
// setuid pkexec; the NetworkManager and logind mocks serve on the private system bus; and nothing of
// it outlives the fixture or reaches the machine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "tests/system/PrivateSystem.h"
#include "tests/system/ProcessSweep.h"

namespace {

using namespace std::chrono_literals;
using system_testing::PolkitAnswer;
using system_testing::PrivateSystem;
using tools_testing::runTool;
using tools_testing::ToolProcess;
using tools_testing::ToolResult;

const std::vector<std::string> kPkexecId = {"/usr/bin/pkexec", "/usr/bin/id", "-u"};

class PrivateSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "a private system needs root";
  }
};

std::string mountNamespace() { return std::filesystem::read_symlink("/proc/self/ns/mnt").string(); }

bool ended(pid_t pid) {
  const std::string stat = testing_support::readFile("/proc/" + std::to_string(pid) + "/stat");
  return stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z";
}

TEST_F(PrivateSystemTest, AnApprovedUserRunsAsRootThroughPkexecAndNothingOutlivesTheFixture) {
  const std::string machine = mountNamespace();
  struct stat machineBus {};
  ASSERT_EQ(stat("/run/dbus", &machineBus), 0);
  auto system = std::make_unique<PrivateSystem>();
  ASSERT_TRUE(system->ready()) << system->problem();
  std::cout << "private system up in " << system->startUpTime().count() << " ms\n";
  RecordProperty("startUpMilliseconds", static_cast<int>(system->startUpTime().count()));
  const uid_t uid = system->uid();

  ToolResult self = runTool({"/usr/bin/id", "-u"}, system->asUser());
  EXPECT_EQ(self.standardOutput, std::to_string(uid) + "\n");
  ToolResult root = runTool(kPkexecId, system->asUser());
  EXPECT_EQ(root.exitCode(), 0) << root.standardError;
  EXPECT_EQ(root.standardOutput, "0\n");

  // A process of the user's that left its parent behind, as the host's guard does.
  ToolResult detached = runTool({"/bin/sh", "-c", "setsid sleep 600 >/dev/null 2>&1 & echo $!"}, system->asUser());
  const pid_t stray = std::stoi(detached.standardOutput);
  std::vector<pid_t> world = system->processes();
  EXPECT_GE(world.size(), 6u) << "system bus, polkitd, two mocks, session bus, the stray";
  EXPECT_NE(std::find(world.begin(), world.end(), stray), world.end());

  system.reset();
  EXPECT_EQ(mountNamespace(), machine);
  for (pid_t pid : world) EXPECT_TRUE(ended(pid)) << pid;
  EXPECT_EQ(getpwuid(uid), nullptr);
  struct stat bus {};
  ASSERT_EQ(stat("/run/dbus", &bus), 0);
  EXPECT_EQ(bus.st_dev, machineBus.st_dev);
  EXPECT_EQ(bus.st_ino, machineBus.st_ino);
  EXPECT_FALSE(std::filesystem::exists("/etc/polkit-1/rules.d/00-private-system.rules"));
}

// A test process killed in the middle (a crash, a runner's timeout) has no teardown; the reaper
// ends its world all the same.
TEST_F(PrivateSystemTest, AKilledTestProcessLeavesNothingBehind) {
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);  // the world's daemons must not hold the report open
  const pid_t test = fork();
  if (test == 0) {
    close(report[0]);
    PrivateSystem system;
    runTool({"/bin/sh", "-c", "setsid sleep 600 >/dev/null 2>&1 &"}, system.asUser());
    const std::string marks =
        system.ready() ? std::to_string(system.uid()) + " " + mountNamespace() : "failed: " + system.problem();
    if (write(report[1], marks.data(), marks.size()) < 0) _exit(1);
    raise(SIGKILL);
  }
  close(report[1]);
  std::string marks = testing_support::readFile("/proc/self/fd/" + std::to_string(report[0]));
  close(report[0]);
  ASSERT_EQ(waitpid(test, nullptr, 0), test);
  ASSERT_FALSE(marks.starts_with("failed")) << marks;
  const system_testing::WorldMarks world{static_cast<uid_t>(std::stoul(marks)), marks.substr(marks.find(' ') + 1)};
  EXPECT_TRUE(
      testing_support::eventually([&] { return system_testing::worldProcesses(world, getpid()).empty(); }, 10s));
}

TEST_F(PrivateSystemTest, ADeniedUserIsNotAuthorizedAndNothingRuns) {
  PrivateSystem system({.answer = PolkitAnswer::deny, .actionIds = {"org.freedesktop.policykit.exec"}});
  ASSERT_TRUE(system.ready()) << system.problem();
  ToolResult refused = runTool(kPkexecId, system.asUser());
  EXPECT_EQ(refused.exitCode(), 127);
  EXPECT_EQ(refused.standardOutput, "");
  EXPECT_NE(refused.standardError.find("Not authorized"), std::string::npos) << refused.standardError;
}

// An action of the test's own, which pkexec picks for its program; the rule approves only it, so
// the generic action still asks for a password, with no agent and no terminal here to ask.
TEST_F(PrivateSystemTest, AnActionFileOfTheTestIsReadAndTheRuleAnswersOnlyItsActions) {
  testing_support::TempDir dir;
  const std::string policy = dir.file("net.proxyhost.test.policy");
  std::ofstream(policy) << R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE policyconfig PUBLIC "-//freedesktop//DTD PolicyKit Policy Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/PolicyKit/1/policyconfig.dtd">
<policyconfig>
  <action id="net.proxyhost.test.id">
    <message>Test asks who it is</message>
    <defaults><allow_any>no</allow_any><allow_inactive>no</allow_inactive><allow_active>no</allow_active></defaults>
    <annotate key="org.freedesktop.policykit.exec.path">/usr/bin/id</annotate>
  </action>
</policyconfig>
)";
  PrivateSystem system({.actionIds = {"net.proxyhost.test.id"}, .actionFiles = {policy}});
  ASSERT_TRUE(system.ready()) << system.problem();
  ToolResult approved = runTool(kPkexecId, system.asUser());
  EXPECT_EQ(approved.exitCode(), 0) << approved.standardError;
  EXPECT_EQ(approved.standardOutput, "0\n");
  ToolResult generic = runTool({"/usr/bin/pkexec", "/usr/bin/whoami"}, system.asUser());
  EXPECT_EQ(generic.exitCode(), 127) << generic.standardError;
  EXPECT_EQ(generic.standardOutput, "");
}

TEST_F(PrivateSystemTest, NetworkManagerListsItsDevicesAndNetworksetupNamesThemAsMacOSDoes) {
  PrivateSystem system;
  ASSERT_TRUE(system.ready()) << system.problem();
  const std::string ethernet = system.addEthernet("eth0");
  const std::string wifi = system.addWiFi("wlan0");
  auto busctl = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/busctl", "--system"});
    ToolResult result = runTool(args, system.asUser());
    EXPECT_EQ(result.exitCode(), 0) << result.standardError;
    return result.standardOutput;
  };
  EXPECT_EQ(busctl({"call", "org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager",
                    "org.freedesktop.NetworkManager", "GetDevices"}),
            "ao 2 \"" + ethernet + "\" \"" + wifi + "\"\n");
  EXPECT_EQ(busctl({"get-property", "org.freedesktop.NetworkManager", wifi, "org.freedesktop.NetworkManager.Device",
                    "Interface", "DeviceType"}),
            "s \"wlan0\"\nu 2\n");

  ToolResult services =
      runTool({NETWORKSETUP_BIN, "-listallnetworkservices"},
              system.asUser({{"NETWORKSETUP_WORLD", std::nullopt}, {"NETWORKSETUP_STATE_DIR", std::nullopt}}));
  EXPECT_EQ(services.standardOutput, "An asterisk (*) denotes that a network service is disabled.\nEthernet\nWi-Fi\n")
      << services.standardError;
}

TEST_F(PrivateSystemTest, LogindAnnouncesPowerOffAndKeepsInhibitorLocks) {
  PrivateSystem system;
  ASSERT_TRUE(system.ready()) << system.problem();
  sd_bus* bus = nullptr;
  ASSERT_GE(sd_bus_new(&bus), 0);
  std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> owner(bus, sd_bus_flush_close_unref);
  ASSERT_GE(sd_bus_set_address(bus, "unix:path=/run/dbus/system_bus_socket"), 0);
  ASSERT_GE(sd_bus_set_bus_client(bus, 1), 0);
  ASSERT_GE(sd_bus_start(bus), 0);
  int announced = -1;
  ASSERT_GE(sd_bus_match_signal(
                bus, nullptr, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                "PrepareForShutdown",
                [](sd_bus_message* message, void* userdata, sd_bus_error*) {
                  return sd_bus_message_read(message, "b", static_cast<int*>(userdata));
                },
                &announced),
            0);

  // The delay lock a host takes to clean up before power-off, held as long as its descriptor.
  sd_bus_message* reply = nullptr;
  ASSERT_GE(
      sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                         "Inhibit", nullptr, &reply, "ssss", "shutdown", "test", "cleaning up", "delay"),
      0);
  int lock = -1;
  ASSERT_GE(sd_bus_message_read(reply, "h", &lock), 0);
  lock = fcntl(lock, F_DUPFD_CLOEXEC, 3);
  sd_bus_message_unref(reply);
  EXPECT_EQ(system.inhibitors(), std::vector<std::string>{"shutdown test delay"});

  system.announcePowerOff();
  EXPECT_TRUE(testing_support::eventually(
      [&] {
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        sd_bus_wait(bus, 10'000);
        return announced != -1;
      },
      5s));
  EXPECT_EQ(announced, 1);
  close(lock);
  EXPECT_TRUE(testing_support::eventually([&] { return system.inhibitors().empty(); }, 5s));
}

}  // namespace
