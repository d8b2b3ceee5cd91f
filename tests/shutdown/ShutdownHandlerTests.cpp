#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/foundation/NSTask.h"
#include "shutdown/NetworkServices.h"
#include "tests/shutdown/ShutdownTestAccess.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testing_support::TempDir;
using Runs = std::vector<std::vector<std::string>>;

// Answers the listing with a fixed text (or a failed start, or a text cut short) and records
// every run.
class RecordingRunner : public NetworkSetupRunner {
 public:
  explicit RecordingRunner(std::optional<std::string> listing, bool cutShort = false)
      : listing_(std::move(listing)), cutShort_(cutShort) {}
  std::optional<NetworkSetupOutput> runCapturingOutput(const std::vector<std::string>& arguments) override {
    runs.push_back(arguments);
    if (!listing_) return std::nullopt;
    return NetworkSetupOutput{*listing_, cutShort_};
  }
  bool run(const std::vector<std::string>& arguments) override {
    runs.push_back(arguments);
    return true;
  }
  Runs runs;

 private:
  std::optional<std::string> listing_;
  bool cutShort_;
};

Runs offRuns(const std::vector<std::string>& services) {
  Runs runs;
  for (const auto& s : services) {
    runs.push_back({"-setwebproxystate", s, "off"});
    runs.push_back({"-setsecurewebproxystate", s, "off"});
    runs.push_back({"-setsocksfirewallproxystate", s, "off"});
  }
  return runs;
}

Runs cleanupRuns(const std::vector<std::string>& services) {
  Runs runs = {{"-listallnetworkservices"}};
  for (auto& r : offRuns(services)) runs.push_back(r);
  return runs;
}

struct Isolated {
  explicit Isolated(std::shared_ptr<NetworkSetupRunner> r = nullptr) : runner(std::move(r)) {}
  NSNotificationCenter workspace, defaults;
  NSProcessInfo processInfo;
  std::shared_ptr<NetworkSetupRunner> runner;

  proxy::ProxyRecord* record = nullptr;

  std::unique_ptr<ShutdownHandler> make() {
    return ShutdownHandler::make({&workspace, &defaults, &processInfo, runner, nullptr, record});
  }
};

struct CleanupCase {
  const char* what;
  std::optional<std::string> listing;
  Runs expected;
};

void PrintTo(const CleanupCase& c, std::ostream* os) { *os << c.what; }

class CleanupThroughTheSeam : public ::testing::TestWithParam<CleanupCase> {};

TEST_P(CleanupThroughTheSeam, RunsTheListingThenThreeOffRunsPerService) {
  auto runner = std::make_shared<RecordingRunner>(GetParam().listing);
  Isolated world(runner);
  world.make()->cleanupSystemProxy();
  EXPECT_EQ(runner->runs, GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Listings, CleanupThroughTheSeam,
    ::testing::Values(CleanupCase{"two services", "legend (*)\nWi-Fi\nEthernet\n", cleanupRuns({"Wi-Fi", "Ethernet"})},
                      CleanupCase{"empty list: the listing alone", "legend (*)\n*Wi-Fi\n", cleanupRuns({})},
                      CleanupCase{"tool cannot start: the four fallback names", std::nullopt,
                                  cleanupRuns(fallbackNetworkServices())},
                      CleanupCase{"invalid UTF-8: the four fallback names", std::string("Wi-Fi\n\xff\xfe\n"),
                                  cleanupRuns(fallbackNetworkServices())},
                      CleanupCase{"odd names passed unchanged", "Bob’s Wi-Fi 2\n  spaced \n",
                                  cleanupRuns({"Bob’s Wi-Fi 2", "  spaced "})}),
    [](const auto& info) { return testing_support::testNameFrom(info.param.what); });

TEST(CleanupAfterACutShortListing, SwitchesOffWhatItPrintedAndEveryFallbackNameItLacks) {
  auto runner = std::make_shared<RecordingRunner>("legend (*)\nOffice LAN\nEthernet\nWi-Fi\nWi-Fi\nThunder", true);
  Isolated world(runner);
  world.make()->cleanupSystemProxy();
  EXPECT_EQ(runner->runs, cleanupRuns({"Office LAN", "Ethernet", "Wi-Fi", "Wi-Fi", "Thunder", "USB 10/100 LAN",
                                       "Thunderbolt Bridge"}));

  auto nothing = std::make_shared<RecordingRunner>("", true);
  Isolated hung(nothing);
  hung.make()->cleanupSystemProxy();
  EXPECT_EQ(nothing->runs, cleanupRuns(fallbackNetworkServices()));
}

// Who cleans up after whom: the record's owner decides, and a cleanup that ran clears it.
class CleanupByRecord : public ::testing::Test {
 protected:
  void SetUp() override { world_.record = &record_; }

  // A record owned by `owner`, written as that process would.
  void writeRecordOf(const posix::ProcessIdentity& owner, std::vector<std::string> services = {"Wi-Fi"}) {
    proxy::ProxyRecordContent content{owner, std::move(services), "127.0.0.1", 7890, 7891};
    std::filesystem::create_directories(dir_.path() + "/state");
    std::ofstream(record_.path()) << proxy::encodeProxyRecord(content);
  }

  TempDir dir_;
  proxy::ProxyRecord record_{dir_.file("state")};
  std::shared_ptr<RecordingRunner> runner_ = std::make_shared<RecordingRunner>(
      "An asterisk (*) denotes that a network service is disabled.\nWi-Fi\n*Office LAN\n");
  Isolated world_{runner_};
};

TEST_F(CleanupByRecord, AStartCleansUpAfterAnOwnerThatIsGoneOrUnknownOnly) {
  EXPECT_FALSE(world_.make()->recoverLeftoverProxies());  // no record
  writeRecordOf(posix::ProcessIdentity::current());       // a live host's
  EXPECT_FALSE(world_.make()->recoverLeftoverProxies());
  EXPECT_TRUE(runner_->runs.empty());

  posix::ProcessIdentity gone = posix::ProcessIdentity::current();
  gone.startTime += 1;  // the same pid, another process
  writeRecordOf(gone);
  EXPECT_TRUE(world_.make()->recoverLeftoverProxies());
  EXPECT_EQ(runner_->runs, cleanupRuns({"Wi-Fi"}));
  EXPECT_FALSE(record_.read().mayBeOn());

  std::ofstream(record_.path()) << "proxyhost proxy record 1\nowner 12";  // torn
  EXPECT_TRUE(world_.make()->recoverLeftoverProxies());
  EXPECT_EQ(runner_->runs.size(), 2 * cleanupRuns({"Wi-Fi"}).size());
  EXPECT_FALSE(record_.read().mayBeOn());
}

TEST_F(CleanupByRecord, AGuardActsOnlyOnItsOwnHostsRecord) {
  posix::ProcessIdentity host{4242, 77}, other{4243, 78};
  EXPECT_FALSE(world_.make()->cleanupAfterHostEnded(host));  // it cleaned up, or had nothing on
  writeRecordOf(other);
  EXPECT_FALSE(world_.make()->cleanupAfterHostEnded(host));
  EXPECT_TRUE(record_.read().mayBeOn());
  EXPECT_TRUE(runner_->runs.empty());

  writeRecordOf(host);
  EXPECT_TRUE(world_.make()->cleanupAfterHostEnded(host));
  EXPECT_EQ(runner_->runs, cleanupRuns({"Wi-Fi"}));
  // The record stays, so the next start cleans up once more after an end without the host's own.
  EXPECT_TRUE(record_.read().mayBeOn());
  EXPECT_TRUE(world_.make()->recoverLeftoverProxies());
  EXPECT_EQ(runner_->runs.size(), 2 * cleanupRuns({"Wi-Fi"}).size());
  EXPECT_FALSE(record_.read().mayBeOn());
}

// A service the user disabled while its proxies were on keeps its states: the listing shows it with an
// asterisk. A recorded service the listing does not show at all is not there: no runs for it, however
// many the record names.
TEST_F(CleanupByRecord, EveryCleanupAlsoSwitchesOffRecordedServicesTheListingShowsDisabled) {
  const posix::ProcessIdentity host{4242, 77};
  std::vector<std::string> recorded = {"Office LAN", "Wi-Fi"};
  for (int i = 0; i < 10000; ++i) recorded.push_back("Gone " + std::to_string(i));
  writeRecordOf(posix::ProcessIdentity::current(), recorded);
  world_.make()->cleanupSystemProxy();
  Runs expected = cleanupRuns({"Wi-Fi", "Office LAN"});
  EXPECT_EQ(runner_->runs, expected);
  EXPECT_FALSE(record_.read().mayBeOn());

  writeRecordOf(host, {"Office LAN", "Gone"});
  EXPECT_TRUE(world_.make()->cleanupAfterHostEnded(host));
  writeRecordOf(host, {"Office LAN", "Gone"});
  EXPECT_TRUE(world_.make()->recoverLeftoverProxies());
  for (int cleanup = 0; cleanup < 2; ++cleanup) {
    for (auto& run : cleanupRuns({"Wi-Fi", "Office LAN"})) expected.push_back(run);
  }
  EXPECT_EQ(runner_->runs, expected);
}

TEST(ShutdownRegistration, TwiceRegistersOnceAndDestructionUndoesItOnce) {
  Isolated world(std::make_shared<RecordingRunner>(""));
  auto handler = world.make();
  const void* id = handler.get();
  handler->registerNotifications();
  handler->registerNotifications();
  EXPECT_TRUE(ShutdownHandlerTestAccess::isRegistered(*handler));
  EXPECT_EQ(world.workspace.registrationCount(id, NSWorkspaceWillPowerOffNotification), 1u);
  EXPECT_EQ(world.workspace.registrationCount(id), 1u);
  EXPECT_EQ(world.defaults.registrationCount(id, NSApplicationWillTerminateNotification), 1u);
  EXPECT_EQ(world.defaults.registrationCount(id), 1u);
  EXPECT_EQ(world.processInfo.suddenTerminationDisableCount(), 1);

  handler.reset();
  EXPECT_EQ(world.workspace.registrationCount(id), 0u);
  EXPECT_EQ(world.defaults.registrationCount(id), 0u);
  EXPECT_EQ(world.processInfo.suddenTerminationDisableCount(), 0);
}

TEST(ShutdownRegistration, AnUnregisteredHandlerLeavesEverythingAlone) {
  Isolated world(std::make_shared<RecordingRunner>(""));
  world.processInfo.disableSuddenTermination();  // someone else's disable must survive
  auto handler = world.make();
  handler->unregisterNotifications();
  EXPECT_FALSE(ShutdownHandlerTestAccess::isRegistered(*handler));
  handler.reset();
  EXPECT_EQ(world.processInfo.suddenTerminationDisableCount(), 1);
}

TEST(ShutdownRegistration, EachNotificationRunsOneCleanupAndUnregisteringStopsThem) {
  auto runner = std::make_shared<RecordingRunner>("Wi-Fi\n");
  Isolated world(runner);
  auto handler = world.make();
  handler->registerNotifications();
  world.workspace.postNotificationName(NSWorkspaceWillPowerOffNotification);
  world.defaults.postNotificationName(NSApplicationWillTerminateNotification);
  EXPECT_EQ(runner->runs.size(), 2u * 4u);
  handler->unregisterNotifications();
  EXPECT_EQ(world.processInfo.suddenTerminationDisableCount(), 0);
  world.workspace.postNotificationName(NSWorkspaceWillPowerOffNotification);
  world.defaults.postNotificationName(NSApplicationWillTerminateNotification);
  EXPECT_EQ(runner->runs.size(), 2u * 4u);
}

TEST(ShutdownSharedInstance, IsCreatedOnceFromManyThreads) {
  std::vector<ShutdownHandler*> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = &ShutdownHandler::shared(); });
  for (auto& t : threads) t.join();
  for (auto* h : seen) EXPECT_EQ(h, seen.front());
}

// A networksetup stand-in as a shell script: logs "begin ARGS" and "end" around each run, one
// argument per "|" field, and answers the listing from a file.
class FakeTool : public ::testing::Test {
 protected:
  void SetUp() override {
    write(dir_.file("listing"), "legend (*)\nWi-Fi\nEthernet\n");
    writeTool("");
  }

  void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

  // `extra` runs before the run ends (e.g. to fail it or to hang it).
  void writeTool(const std::string& extra) {
    std::string path = tool();
    write(path, "#!/bin/sh\nlog=" + dir_.file("log") +
                    "\nprintf begin >> \"$log\"\nfor a in \"$@\"; do printf '|%s' \"$a\" >> \"$log\"; done\n"
                    "echo >> \"$log\"\n"
                    "if [ \"$1\" = -listallnetworkservices ]; then cat " +
                    dir_.file("listing") + "; fi\n" + extra + "\necho end >> \"$log\"\n");
    ::chmod(path.c_str(), 0755);
  }

  std::string tool() const { return dir_.file("networksetup"); }

  std::vector<std::string> log() const {
    std::ifstream in(dir_.file("log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::vector<std::string> logOf(const Runs& runs, bool ended = true) {
    std::vector<std::string> lines;
    for (const auto& r : runs) {
      std::string line = "begin";
      for (const auto& a : r) line += "|" + a;
      lines.push_back(line);
      if (ended) lines.push_back("end");
    }
    return lines;
  }

  std::unique_ptr<ShutdownHandler> handler(std::chrono::milliseconds limit = kNetworkSetupRunLimit) {
    world_.runner = std::make_shared<TaskNetworkSetupRunner>(tool(), limit);
    return world_.make();
  }

  TempDir dir_;
  Isolated world_;
};

TEST_F(FakeTool, TwoServicesGiveSevenRunsEachAfterThePreviousEnded) {
  handler()->cleanupSystemProxy();
  EXPECT_EQ(log(), logOf(cleanupRuns({"Wi-Fi", "Ethernet"})));
}

TEST_F(FakeTool, AFailingRunDoesNotStopTheNext) {
  writeTool("echo end >> \"$log\"; exit 3");
  handler()->cleanupSystemProxy();
  EXPECT_EQ(log(), logOf(cleanupRuns({"Wi-Fi", "Ethernet"})));
}

TEST_F(FakeTool, AwkwardNamesReachTheToolAsOneArgumentUnchanged) {
  std::vector<std::string> names = {"My Wi-Fi  2", "Bob's Ethernet", "Réseau – Ünïcode", "$(touch x) `y` \"z\""};
  std::string listing = "legend (*)\n";
  for (const auto& n : names) listing += n + "\n";
  write(dir_.file("listing"), listing);
  handler()->cleanupSystemProxy();
  EXPECT_EQ(log(), logOf(cleanupRuns(names)));
}

TEST_F(FakeTool, InvalidUtf8FromTheToolGivesTheFallbackList) {
  write(dir_.file("listing"), "Wi-Fi\n\xc3\x28\n");
  auto h = handler();
  EXPECT_EQ(ShutdownHandlerTestAccess::getNetworkServices(*h), fallbackNetworkServices());
}

TEST_F(FakeTool, AMissingToolGivesTheFallbackListAndTwelveSilentFailures) {
  world_.runner = std::make_shared<TaskNetworkSetupRunner>(dir_.file("absent"));
  auto h = world_.make();
  EXPECT_EQ(ShutdownHandlerTestAccess::getNetworkServices(*h), fallbackNetworkServices());
  h->cleanupSystemProxy();  // returns normally
  EXPECT_TRUE(log().empty());
}

TEST_F(FakeTool, AHungRunIsKilledAtTheBoundAndTheCleanupGoesOn) {
  // Only the first service's web run hangs.
  writeTool("if [ \"$1\" = -setwebproxystate ] && [ \"$2\" = Wi-Fi ]; then exec sleep 60; fi");
  auto start = std::chrono::steady_clock::now();
  handler(300ms)->cleanupSystemProxy();
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 10s);
  EXPECT_GE(took, 300ms);
  auto lines = log();
  auto expected = logOf(cleanupRuns({"Wi-Fi", "Ethernet"}));
  expected.erase(expected.begin() + 3);  // the hung run never logged its end
  EXPECT_EQ(lines, expected);
}

}  // namespace
