// The guard and the record from outside: the host under macsim replaces a guard that dies, refuses
// an enable it cannot record, keeps the record past a disable that failed, keeps one user's record
// apart from another's, and is not held by a FIFO in the record's place; and a storm of ends at
// random moments of enables and disables.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>

#include "tests/shutdown/ShutdownEndToEnd.h"
#include "tests/support/ProcessRun.h"

namespace {

using namespace shutdown_testing;
using testing_support::ChildProcess;

const std::string kRecordFolderName = PROXYHOST_BUNDLE_ID;

// A guard's start: a fork and an exec of a small program, and the report it prints.
constexpr auto kGuardReplacementLimit = 1s;

// A guard killed, then the host: another guard watched by then and switches everything off; a
// stopped guard is not a dead one, so nothing replaces it and it still does its work.
TEST_F(ShutdownEndToEnd, AGuardThatDiesIsReplacedWithinASecondAndAStoppedOneIsNot) {
  prepareTwoServices();
  startHost({}, HostReady::armed);
  switchProxiesOn();
  std::vector<pid_t> first = watchingGuardsOf(host_->pid());
  ASSERT_EQ(first.size(), 1u) << host_->standardError();

  ::kill(first[0], SIGSTOP);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(guardsOf(host_->pid()), first);
  ::kill(first[0], SIGCONT);

  ::kill(first[0], SIGKILL);
  const auto killedAt = std::chrono::steady_clock::now();
  std::vector<pid_t> second;
  ASSERT_TRUE(eventually(
      [&] {
        second = watchingGuardsOf(host_->pid());
        return second.size() == 1 && second[0] != first[0];
      },
      10s))
      << host_->standardError();
  const auto replacedAfter = std::chrono::steady_clock::now() - killedAt;
  EXPECT_LT(replacedAfter, kGuardReplacementLimit);
  EXPECT_NE(host_->standardError().find("The proxy guard (process " + std::to_string(first[0]) + ") ended"),
            std::string::npos)
      << host_->standardError();
  RecordProperty("replacedAfterMs",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(replacedAfter).count()));

  host_->signal(SIGKILL);
  ASSERT_TRUE(host_->wait(10s));
  EXPECT_TRUE(eventually([&] { return allOff() && guardsOf(host_->pid()).empty(); }, 20s)) << host_->standardError();
  EXPECT_EQ(runsAfterTheLastSetRun(), cleanups(1));
}

// Without a record no guard and no later start could switch the proxies off: the enable is
// refused, says why, and runs nothing; a disable still runs.
TEST_F(ShutdownEndToEnd, AnEnableWhoseRecordCannotBeWrittenIsRefusedAndSwitchesNothingOn) {
  const bool root = ::geteuid() == 0;
  if (root) {
    // A read-only file system under the record's folder, in a mount namespace of this test's.
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  }
  prepareTwoServices();
  const std::string folder = stateHome() + "/" + kRecordFolderName;
  const std::vector<std::pair<std::string, std::function<void()>>> ways = {
      {"a file in the folder's place", [&] { std::ofstream(folder) << "not a folder"; }},
      {"a read-only file system",
       [&] {
         std::filesystem::remove(folder);
         ASSERT_EQ(::mount(stateHome().c_str(), stateHome().c_str(), nullptr, MS_BIND, nullptr), 0);
         ASSERT_EQ(::mount(nullptr, stateHome().c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
       }},
  };
  for (const auto& [what, makeUnwritable] : ways) {
    if (!root && what == "a read-only file system") continue;
    SCOPED_TRACE(what);
    makeUnwritable();
    std::filesystem::remove(state() + "/runs.log");
    startHost({}, HostReady::armed);
    const testing_support::Reply reply = testing_support::callOver(
        *client_, testing_support::kPrivilegedProxyChannel, "setProxyElevated", EncodableValue(enableArguments()), 30s);
    const auto* error = std::get_if<FlutterError>(&reply);
    ASSERT_TRUE(error) << host_->standardError();
    EXPECT_EQ(error->code, "failed");
    const std::string message = error->message.value_or("");
    EXPECT_TRUE(message.starts_with("Nothing was switched on")) << message;
    EXPECT_NE(message.find(stateHome()), std::string::npos) << message;
    EXPECT_TRUE(hostRuns().empty());
    EXPECT_TRUE(allOff());
    EXPECT_EQ(testing_support::callOver(*client_, testing_support::kPrivilegedProxyChannel, "disableProxyElevated",
                                        EncodableValue(disableArguments()), 30s),
              testing_support::Reply(EncodableValue(true)));
    host_->signal(SIGINT);
    ASSERT_TRUE(host_->wait(20s));
  }
  if (root) ::umount(stateHome().c_str());
}

// The disable script goes on past failures and answers true: here every one of its runs fails (the
// tool's state cannot be read meanwhile), so the proxies stay on, and the record must still say so.
TEST_F(ShutdownEndToEnd, ADisableWhoseRunsFailedKeepsTheRecordAndTheGuardStillSwitchesOff) {
  prepareTwoServices();
  startHost({}, HostReady::armed);
  switchProxiesOn();
  const std::string stateFile = state() + "/state.plist";
  const std::string saved = testing_support::readFile(stateFile);
  ASSERT_FALSE(saved.empty());
  std::ofstream(stateFile, std::ios::trunc) << "not a property list";
  EXPECT_EQ(testing_support::callOver(*client_, testing_support::kPrivilegedProxyChannel, "disableProxyElevated",
                                      EncodableValue(disableArguments()), 30s),
            testing_support::Reply(EncodableValue(true)));
  std::ofstream(stateFile, std::ios::trunc) << saved;
  ASSERT_EQ(proxySummary("Wi-Fi"), "Yes 127.0.0.1:7890 Yes 127.0.0.1:7890 Yes 127.0.0.1:7891");
  EXPECT_TRUE(recordPresent());

  host_->signal(SIGKILL);
  ASSERT_TRUE(host_->wait(10s));
  EXPECT_TRUE(eventually([&] { return allOff() && guardsOf(host_->pid()).empty(); }, 20s)) << host_->standardError();
}

// A FIFO where the record belongs would hold a reader forever: the start goes on, takes it for a
// record it cannot read, cleans up and removes it.
TEST_F(ShutdownEndToEnd, ARecordThatIsAFifoDoesNotHoldTheStart) {
  prepareTwoServices();
  std::filesystem::create_directories(stateHome() + "/" + kRecordFolderName);
  ASSERT_EQ(::mkfifo(recordPath().c_str(), 0600), 0);
  startHost();  // fails unless the link is served within its bound
  EXPECT_EQ(hostRuns(), cleanups(1));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(recordPath())));
  EXPECT_NE(host_->standardError().find("cannot be read: switching them off"), std::string::npos)
      << host_->standardError();
}

// Root through sudo keeps the user's HOME: its host must keep its record apart from hers, or her
// guard finds root's record, takes it for another live host's, and leaves her proxies on.
TEST_F(ShutdownEndToEnd, TwoUsersSharingAHomeKeepRecordsOfTheirOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "a second user needs root";
  const uid_t user = 47233;
  // In a mount namespace of this test's: /etc/passwd knows the user, and root's own home is empty.
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  ASSERT_EQ(::mount("guardtest", "/root", "tmpfs", 0, "mode=0700"), 0) << std::strerror(errno);
  const std::string home = dir_.file("home"), herState = dir_.file("her-state");
  std::ofstream(dir_.file("passwd")) << testing_support::readFile("/etc/passwd") << "guardtest:x:" << user << ":"
                                     << user << "::" << home << ":/bin/sh\n";
  ASSERT_EQ(::mount(dir_.file("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  for (const std::string& folder : {home, herState, dir_.file("her-host")}) {
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::chown(folder.c_str(), user, user), 0);
  }
  prepareTwoServices();
  networksetupIn(herState, {"-createnetworkservice", "Office's LAN", "Ethernet"});
  for (const auto& entry : std::filesystem::recursive_directory_iterator(herState)) {
    ASSERT_EQ(::lchown(entry.path().c_str(), user, user), 0) << entry.path();
  }

  // Her host, then root's, both with her HOME and no XDG_STATE_HOME; each switches both services
  // on, called by its own user (a link client speaks only to its own user's host).
  auto startWithHerHome = [&](const std::vector<std::string>& runAs, const std::string& stateFolder,
                              const std::string& output) {
    const std::string socket = output + "/engine.sock";
    std::vector<std::string> argv = runAs;
    argv.insert(argv.end(), {"/usr/bin/env", "-u", "XDG_STATE_HOME", std::string(PROXYHOST_BIN_DIR) + "/macsim",
                             "--simulated", "--state", stateFolder, "--", PROXYHOST_BIN});
    auto process = std::make_unique<ChildProcess>(
        argv,
        std::map<std::string, std::string>{
            {"HOME", home}, {"PROXYHOST_ENGINE_SOCKET", socket}, {"PROXYHOST_AUTHORIZATION", "approve"}},
        output);
    std::vector<std::string> call = runAs;
    call.insert(call.end(), {std::string(PROXYHOST_BIN_DIR) + "/proxyhostctl", "--socket", socket, "call",
                             testing_support::kPrivilegedProxyChannel, "setProxyElevated",
                             R"({"services": ["Wi-Fi", "Office's LAN"], "host": "127.0.0.1", "port": 7890,)"
                             R"( "socks": 7891, "bypass": ["localhost"]})"});
    ProcessRun answer;
    // 3: the host does not serve yet.
    EXPECT_TRUE(eventually([&] { return (answer = runProcess(call)).exitStatus != 3; }, 15s));
    EXPECT_EQ(answer.standardOutput, "{\"success\": true}\n") << answer.standardError << process->standardError();
    return process;
  };
  auto hers = startWithHerHome(
      {"/usr/bin/setpriv", "--reuid=" + std::to_string(user), "--regid=" + std::to_string(user), "--clear-groups"},
      herState, dir_.file("her-host"));
  auto roots = startWithHerHome({}, state(), dir_.file("host"));
  ASSERT_FALSE(HasFailure());

  const std::string herRecord = home + "/.local/state/" + kRecordFolderName + "/proxy-record";
  const std::string rootRecord = "/root/.local/state/" + kRecordFolderName + "/proxy-record";
  struct stat info {};
  ASSERT_EQ(::stat(herRecord.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, user);
  ASSERT_EQ(::stat(rootRecord.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 0u);
  EXPECT_NE(roots->standardError().find("Keeping the proxy record in /root/.local/state/"), std::string::npos)
      << roots->standardError();

  // A host of hers dies: its guard switches hers off; root's stay on, its record untouched.
  auto killedHerHost = [&](ChildProcess& host) {
    host.signal(SIGKILL);
    ASSERT_TRUE(host.wait(10s));
    EXPECT_TRUE(eventually([&] { return allOffIn(herState) && guardsOf(host.pid()).empty(); }, 20s))
        << host.standardError();
    EXPECT_EQ(proxySummary("Wi-Fi"), "Yes 127.0.0.1:7890 Yes 127.0.0.1:7890 Yes 127.0.0.1:7891");
    EXPECT_TRUE(std::filesystem::exists(rootRecord));
  };
  killedHerHost(*hers);

  // A second root host through sudo, acting for her (networksetup switches her services and her
  // desktop): its record is apart from root's own, so its death is cleaned up by its guard and
  // root's host keeps its proxies and its record.
  std::filesystem::create_directories(dir_.file("for-her-host"));
  auto forHer =
      startWithHerHome({"/usr/bin/env", "SUDO_UID=" + std::to_string(user)}, herState, dir_.file("for-her-host"));
  ASSERT_FALSE(HasFailure());
  const std::string forHerRecord =
      "/root/.local/state/" + kRecordFolderName + "/for-uid-" + std::to_string(user) + "/proxy-record";
  EXPECT_TRUE(std::filesystem::exists(forHerRecord));
  killedHerHost(*forHer);

  roots->signal(SIGINT);
  ASSERT_TRUE(roots->wait(20s));
  EXPECT_TRUE(allOff());
  EXPECT_FALSE(std::filesystem::exists(rootRecord));
}

// Random ends at random moments of enables and disables: quit, SIGTERM, SIGKILL of the host, of
// its guard and then the host (a random time later), or of both at once. After each, once the
// client has ended, every state is off; only when no guard watched at the host's death may that
// wait for the next start, which then switches them off before it serves.
TEST_F(ShutdownEndToEnd, StormOfEndsDuringEnablesAndDisablesLeavesEverythingOff) {
  Storm storm("GUARD_STORM_RUNS", 8);
  prepareTwoServices();
  // How long one enable takes in this build: the ends land from before it to well after it.
  startHost({}, HostReady::armed);
  auto enableStart = std::chrono::steady_clock::now();
  switchProxiesOn();
  const auto enableMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - enableStart);
  host_->signal(SIGINT);
  ASSERT_TRUE(host_->wait(20s));
  const unsigned window = static_cast<unsigned>(enableMs.count() * 3 + 1);

  enum End { quit, sigterm, killHost, killGuardThenHost, killBoth, endCount };
  const char* const names[] = {"quit", "SIGTERM", "SIGKILL host", "SIGKILL guard, then host", "SIGKILL both"};
  int ends[endCount] = {}, leftForTheNextStart = 0, failedRuns = 0;
  for (int i = 0; i < storm.runs; ++i) {
    std::string what = "run " + std::to_string(i);
    bool runFailed = false;
    auto fail = [&](const std::string& why) {
      runFailed = true;
      ADD_FAILURE() << what << ": " << why << "\n" << (host_ ? host_->standardError() : "");
    };
    auto summary = [&] { return proxySummary("Wi-Fi") + " / " + proxySummary("Office's LAN"); };
    std::filesystem::remove(state() + "/runs.log");
    startHost({}, HostReady::armed);
    // The last client ended (below): whatever it left on, this start switched off before serving.
    if (!allOff()) fail("on after the start: " + summary());
    for (unsigned calls = 1 + storm.random() % 3; calls > 0; --calls) {
      if (storm.random() % 3 == 0) {
        post("disableProxyElevated", disableArguments());
      } else {
        post("setProxyElevated", enableArguments());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(storm.random() % (window / 3 + 1)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(storm.random() % window));
    const End end = static_cast<End>(storm.random() % endCount);
    what += std::string(" (") + names[end] + ")";
    ++ends[end];
    const pid_t host = host_->pid();
    const std::vector<pid_t> guards = watchingGuardsOf(host);
    bool guarded = end != killBoth;
    switch (end) {
      case quit: host_->signal(SIGINT); break;
      case sigterm: host_->signal(SIGTERM); break;
      case killHost: host_->signal(SIGKILL); break;
      case killGuardThenHost: {
        for (pid_t guard : guards) ::kill(guard, SIGKILL);
        const auto delay = std::chrono::milliseconds(storm.random() % 2000);
        std::this_thread::sleep_for(delay);
        // Guarded only if a new guard watches by now, as one must some time after the kill.
        guarded = !watchingGuardsOf(host).empty();
        if (!guarded && delay > kGuardReplacementLimit + 500ms) fail("no guard replaced the one killed");
        host_->signal(SIGKILL);
        break;
      }
      case killBoth:
        for (pid_t guard : guards) ::kill(guard, SIGKILL);
        host_->signal(SIGKILL);
        break;
      case endCount: break;
    }
    auto status = host_->wait(60s);
    ASSERT_TRUE(status) << what << ": the host did not end";
    if ((end == quit || end == sigterm) && !(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)) {
      fail("ended with status " + std::to_string(*status));
    }
    ASSERT_TRUE(eventually([&] { return guardsOf(host).empty(); }, 30s)) << what << ": a guard is left";
    if (guarded) {
      if (!allOff()) fail("on after the end: " + summary());
    } else if (!allOff()) {
      // Nobody watched: what is on must be on record for the next start.
      ++leftForTheNextStart;
      if (!recordPresent()) fail("on without a record: " + summary());
    }
    // Nothing of the host's is still running to switch anything on later.
    const size_t settled = hostRuns().size();
    std::this_thread::sleep_for(50ms);
    if (hostRuns().size() != settled) fail("runs after the end");
    if (runFailed) ++failedRuns;
  }
  startHost();
  EXPECT_TRUE(allOff()) << "after the last run";
  std::printf("ends storm: %d runs, %d failed; ends:", storm.runs, failedRuns);
  for (int e = 0; e < endCount; ++e) std::printf(" %s %d,", names[e], ends[e]);
  std::printf(" left on for the next start %d (ends within %u ms of the first call)\n", leftForTheNextStart, window);
}

}  // namespace
