// The host under macsim, driven over its engine link: proxies switched on through the privileged
// proxy channel, then the process ended by SIGTERM or quit, with the networksetup stand-in's run
// log and state showing what the shutdown cleanup did.
#include "tests/shutdown/ShutdownEndToEnd.h"

namespace {

using namespace shutdown_testing;

TEST_F(ShutdownEndToEnd, SigtermRunsOneCleanupAndExitsZeroKeepingTheHosts) {
  prepareTwoServices();
  startHost({}, HostReady::armed);
  switchProxiesOn();

  host_->signal(SIGTERM);
  auto status = host_->wait(20s);
  ASSERT_TRUE(status) << "the host did not end";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(1));
  for (const char* service : {"Wi-Fi", "Office's LAN"}) {
    EXPECT_EQ(proxySummary(service), "No 127.0.0.1:7890 No 127.0.0.1:7890 No 127.0.0.1:7891") << service;
  }
}

TEST_F(ShutdownEndToEnd, QuitRunsTwoCleanupsAndExitsZero) {
  prepareTwoServices();
  startHost({}, HostReady::armed);
  switchProxiesOn();

  host_->signal(SIGINT);
  auto status = host_->wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(2));
  EXPECT_EQ(proxySummary("Wi-Fi"), "No 127.0.0.1:7890 No 127.0.0.1:7890 No 127.0.0.1:7891");
}

TEST_F(ShutdownEndToEnd, SigtermBeforeLaunchingHasFinishedHasTheDefaultEffect) {
  prepareTwoServices();
  std::string gate = dir_.file("launch-held");
  startHost({{"PROXYHOST_TEST_HOLD_LAUNCH", gate}}, HostReady::started, LAUNCH_HELD_HOST);
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(gate); }, 15s)) << host_->standardError();

  host_->signal(SIGTERM);
  auto status = host_->wait(10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
  EXPECT_TRUE(hostRuns().empty());
}

// Polls `path` (a file another process appends lines to) until it holds `line`.
bool waitForLine(const std::string& path, const std::string& line, std::chrono::milliseconds timeout) {
  return eventually(
      [&] {
        std::ifstream in(path);
        for (std::string l; std::getline(in, l);) {
          if (l == line) return true;
        }
        return false;
      },
      timeout);
}

TEST_F(ShutdownEndToEnd, PowerOffFromLogindRunsACleanupUnderADelayLockThenQuitRunsTwoMore) {
  // A private bus with a stand-in of logind's manager on it.
  std::string busPath = dir_.file("bus");
  std::ofstream(dir_.file("bus.conf"))
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><listen>unix:path="
      << busPath
      << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
         "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
  testing_support::ChildProcess bus({"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + dir_.file("bus.conf")}, {},
                                    dir_.file("host"));
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(busPath); }, 10s)) << bus.standardError();
  const std::string address = "unix:path=" + busPath;
  const std::string events = dir_.file("logind.events");
  testing_support::ChildProcess logind({FAKE_LOGIND, events}, {{"DBUS_SYSTEM_BUS_ADDRESS", address}},
                                       dir_.file("host"));
  ASSERT_TRUE(waitForLine(events, "ready", 10s)) << logind.standardError();

  prepareTwoServices();
  startHost({{"DBUS_SYSTEM_BUS_ADDRESS", address}}, HostReady::armed);
  switchProxiesOn();
  ASSERT_TRUE(waitForLine(events, "inhibit shutdown ProxyHost delay", 10s)) << host_->standardError();

  logind.signal(SIGUSR1);
  ASSERT_TRUE(waitForLine(events, "released", 20s)) << host_->standardError();
  // The lock went only after the cleanup: by then all its runs are in the log.
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(1));
  EXPECT_EQ(proxySummary("Wi-Fi"), "No 127.0.0.1:7890 No 127.0.0.1:7890 No 127.0.0.1:7891");

  host_->signal(SIGINT);
  auto status = host_->wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(3));
  logind.signal(SIGTERM);
  bus.signal(SIGTERM);
}

TEST_F(ShutdownEndToEnd, WithoutTheToolSigtermStillExitsZeroSilently) {
  // Not under macsim: /usr/sbin/networksetup does not exist, every start fails.
  ASSERT_FALSE(std::filesystem::exists(kTool));
  testing_support::HostProcess host({{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir_.file("no-bus")}});
  auto client = host.connect();
  ASSERT_TRUE(client);
  ASSERT_TRUE(testing_support::waitUntilArmed(*client));
  host.process().signal(SIGTERM);
  auto status = host.process().wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  std::string log = host.process().standardError();
  EXPECT_EQ(log.find("networksetup"), std::string::npos) << log;
  // The missing bus is said once, and the host runs on.
  auto first = log.find("no system bus");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("no system bus", first + 1), std::string::npos) << log;
}

// SIGTERM at random moments: during start-up, idle, twice in a row, and while the quit's own
// cleanups run. Whatever the moment, the host ends within the bound; once it is armed it ends
// with status 0 and the proxies off; before that, it dies of the signal without a cleanup.
TEST_F(ShutdownEndToEnd, StormOfSigtermsNeverHangsAndLeavesTheProxiesOff) {
  Storm storm("SHUTDOWN_STORM_RUNS", 100);
  prepareTwoServices();
  // Signals land from the first instant to well past the moment the host is armed, however long
  // start-up takes in this build.
  auto startedAt = std::chrono::steady_clock::now();
  startHost({}, HostReady::armed);
  const auto armedAfter =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startedAt);
  host_->signal(SIGTERM);
  ASSERT_TRUE(host_->wait(20s));
  client_.reset();
  const unsigned window = static_cast<unsigned>(armedAfter.count() * 2 + 1);
  int exitedZero = 0, diedEarly = 0;
  for (int i = 0; i < storm.runs && !HasFailure(); ++i) {
    for (const char* setting : {"-setwebproxystate", "-setsecurewebproxystate", "-setsocksfirewallproxystate"}) {
      networksetup({setting, "Wi-Fi", "on"});
    }
    std::filesystem::remove(state() + "/runs.log");
    startHost({}, HostReady::started);
    int mode = static_cast<int>(storm.random() % 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(storm.random() % window));
    if (mode == 2) {
      host_->signal(SIGINT);
      std::this_thread::sleep_for(std::chrono::milliseconds(storm.random() % 20));
    }
    host_->signal(SIGTERM);
    if (mode == 1) host_->signal(SIGTERM);

    auto status = host_->wait(20s);
    ASSERT_TRUE(status) << "run " << i << " (mode " << mode << ") hung";
    bool cleaned = !hostRuns().empty();
    if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) {
      ++exitedZero;
      EXPECT_TRUE(cleaned) << "run " << i;
      std::string summary = proxySummary("Wi-Fi");
      EXPECT_EQ(summary.find("Yes"), std::string::npos) << "run " << i << ": " << summary;
    } else {
      ++diedEarly;
      ASSERT_TRUE(WIFSIGNALED(*status)) << "run " << i << " status " << *status << host_->standardError();
      EXPECT_TRUE(WTERMSIG(*status) == SIGTERM || WTERMSIG(*status) == SIGINT) << "run " << i;
      EXPECT_FALSE(cleaned) << "run " << i << ": a cleanup began, so the host was armed";
    }
  }
  RecordProperty("exitedZero", exitedZero);
  RecordProperty("diedBeforeArmed", diedEarly);
  std::printf("storm: signals within %u ms of the start (armed after %lld ms)\n", window,
              static_cast<long long>(armedAfter.count()));
  std::printf("storm: %d runs, %d exited 0 after a cleanup, %d ended by the signal before being armed\n", storm.runs,
              exitedZero, diedEarly);
}

// An enable and a disable 20 ms apart: the disable is never overtaken, whatever the tool's speed.
TEST_F(ShutdownEndToEnd, AnEnableAndADisableTwentyMillisecondsApartEndOff) {
  prepareTwoServices();
  for (const char* delay : {"0", "200"}) {
    SCOPED_TRACE(std::string("tool delay ") + delay + " ms");
    startHost({{"NETWORKSETUP_RUN_DELAY_MS", delay}}, HostReady::armed);
    uint32_t on = post("setProxyElevated", enableArguments());
    std::this_thread::sleep_for(20ms);
    uint32_t off = post("disableProxyElevated", disableArguments());
    EXPECT_EQ(answer(on), testing_support::Reply(EncodableValue(true)));
    EXPECT_EQ(answer(off), testing_support::Reply(EncodableValue(true)));
    EXPECT_TRUE(allOff()) << proxySummary("Wi-Fi") << " / " << proxySummary("Office's LAN");
    // A disable's success proves nothing: the record waits for a cleanup, such as the quit's.
    EXPECT_TRUE(recordPresent());
    host_->signal(SIGINT);
    ASSERT_TRUE(host_->wait(30s));
    EXPECT_FALSE(recordPresent());
  }
}

// SIGTERM or quit while an enable runs: the cleanup comes after it, and nothing switches on later.
TEST_F(ShutdownEndToEnd, SigtermOrQuitDuringAnEnableEndsZeroWithEverythingOff) {
  prepareTwoServices();
  for (const char* delay : {"0", "200"}) {
    for (int sig : {SIGTERM, SIGINT}) {
      SCOPED_TRACE(std::string("tool delay ") + delay + " ms, signal " + std::to_string(sig));
      std::filesystem::remove(state() + "/runs.log");
      startHost({{"NETWORKSETUP_RUN_DELAY_MS", delay}}, HostReady::armed);
      post("setProxyElevated", enableArguments());
      // Into the enable: its first run has started.
      ASSERT_TRUE(eventually([&] { return !hostRuns().empty(); }, 20s));
      host_->signal(sig);
      auto status = host_->wait(60s);
      ASSERT_TRUE(status);
      EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << host_->standardError();
      EXPECT_TRUE(allOff());
      std::this_thread::sleep_for(1s);
      EXPECT_TRUE(allOff()) << "switched on after the cleanup: " << proxySummary("Wi-Fi");
      EXPECT_FALSE(recordPresent());
      EXPECT_TRUE(eventually([&] { return guardsOf(host_->pid()).empty(); }, 5s));
    }
  }
}

// Proxies on, then the host dies without a chance to clean up: the guard does it and ends. The
// record stays, so the next start runs one cleanup more (a desktop that could not follow the
// guard's runs gets another chance), before it serves.
TEST_F(ShutdownEndToEnd, AfterAKillOrACrashTheGuardSwitchesOffAndTheNextStartCleansUpOnceMore) {
  prepareTwoServices();
  for (int sig : {SIGKILL, SIGSEGV, SIGABRT}) {
    SCOPED_TRACE("signal " + std::to_string(sig));
    std::filesystem::remove(state() + "/runs.log");
    startHost({}, HostReady::armed);
    switchProxiesOn();
    ASSERT_TRUE(recordPresent());
    std::vector<pid_t> guards = guardsOf(host_->pid());
    ASSERT_EQ(guards.size(), 1u) << host_->standardError();
    host_->signal(sig);
    ASSERT_TRUE(host_->wait(10s));
    EXPECT_TRUE(eventually([&] { return allOff() && guardsOf(host_->pid()).empty(); }, 20s)) << host_->standardError();
    EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(1));
    EXPECT_TRUE(recordPresent());

    startHost();  // returns once the link serves
    EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(2));
    EXPECT_FALSE(recordPresent());
    host_->signal(SIGINT);
    ASSERT_TRUE(host_->wait(20s));
  }
}

// A terminal's hang-up goes to the host's whole process group: the guard, in a session of its
// own, is not in it, outlives the host and switches the proxies off.
TEST_F(ShutdownEndToEnd, AHangUpOfTheHostsProcessGroupLeavesTheGuardToCleanUp) {
  prepareTwoServices();
  startHost({}, HostReady::armed);
  switchProxiesOn();
  ASSERT_EQ(guardsOf(host_->pid()).size(), 1u) << host_->standardError();
  host_->signalGroup(SIGHUP);
  ASSERT_TRUE(host_->wait(10s));
  EXPECT_TRUE(eventually([&] { return allOff() && guardsOf(host_->pid()).empty(); }, 20s)) << host_->standardError();
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(1));
}

// Host and guard killed together (as a power loss would): the next start cleans up before it
// answers anything.
TEST_F(ShutdownEndToEnd, AfterHostAndGuardDieTogetherTheNextStartCleansUpBeforeItServes) {
  prepareTwoServices();
  startHost({}, HostReady::armed);
  switchProxiesOn();
  std::vector<pid_t> guards = guardsOf(host_->pid());
  ASSERT_EQ(guards.size(), 1u);
  ::kill(guards[0], SIGKILL);
  host_->signal(SIGKILL);
  ASSERT_TRUE(host_->wait(10s));
  ASSERT_TRUE(eventually([&] { return ::kill(guards[0], 0) != 0; }, 5s));
  ASSERT_FALSE(allOff());
  ASSERT_TRUE(recordPresent());

  startHost();  // returns once the link serves
  EXPECT_TRUE(allOff());
  EXPECT_FALSE(recordPresent());
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(1));
  EXPECT_NE(host_->standardError().find("were left behind: switching them off"), std::string::npos)
      << host_->standardError();
}

// A second host exits because the first serves; the first one's proxies stay on.
TEST_F(ShutdownEndToEnd, ASecondHostLeavesTheFirstOnesProxiesOn) {
  prepareTwoServices();
  startHost({}, HostReady::armed);
  switchProxiesOn();
  const size_t runsBefore = hostRuns().size();
  testing_support::ChildProcess second(
      {std::string(PROXYHOST_BIN_DIR) + "/macsim", "--simulated", "--state", state(), "--", PROXYHOST_BIN},
      {{"PROXYHOST_ENGINE_SOCKET", dir_.file("engine.sock")}, {"XDG_STATE_HOME", stateHome()}}, dir_.file("host"));
  auto status = second.wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(hostRuns().size(), runsBefore);
  EXPECT_EQ(proxySummary("Wi-Fi"), "Yes 127.0.0.1:7890 Yes 127.0.0.1:7890 Yes 127.0.0.1:7891");
  EXPECT_TRUE(recordPresent());
}

// A stopped host is not a dead one: nothing runs; after it goes on and quits, the two cleanups
// as always and nothing from the guard.
TEST_F(ShutdownEndToEnd, AStoppedHostIsNotADeadOne) {
  prepareTwoServices();
  startHost({}, HostReady::armed);
  switchProxiesOn();
  const size_t runsBefore = hostRuns().size();
  host_->signal(SIGSTOP);
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(hostRuns().size(), runsBefore);
  EXPECT_EQ(proxySummary("Wi-Fi"), "Yes 127.0.0.1:7890 Yes 127.0.0.1:7890 Yes 127.0.0.1:7891");
  host_->signal(SIGCONT);
  host_->signal(SIGINT);
  auto status = host_->wait(20s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_TRUE(eventually([&] { return guardsOf(host_->pid()).empty(); }, 5s));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(2));
  EXPECT_TRUE(allOff());
}

}  // namespace
