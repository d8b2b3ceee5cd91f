// The login item service as its observers see it: reads, the write sequence through every face,
// the legacy read over every shape of job list, and the one-time migration.
#include <gtest/gtest.h>

#include <thread>

#include "login_item/LaunchAtLogin.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/oslog/Logger.h"
#include "tests/login_item/FakeLoginItemRegistry.h"
#include "tests/support/TestSupport.h"

namespace {

using login_item_testing::EventLog;
using login_item_testing::FakeLoginItemRegistry;

const std::string kHelper = "org.example.Client-LaunchAtLoginHelper";
const NSOperatingSystemVersion kModern{14, 0, 0};

class LaunchAtLoginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_ = std::make_shared<FakeLoginItemRegistry>(log_);
    SMLoginItemRegistry::setCurrentForTesting(registry_);
    NSProcessInfo::processInfo().setOperatingSystemVersionForTesting(kModern);
  }
  void TearDown() override {
    SMLoginItemRegistry::setCurrentForTesting(nullptr);
    NSProcessInfo::processInfo().setOperatingSystemVersionForTesting(kModern);
  }

  // Listens on all three faces; the log then holds only what comes after.
  void observeAllFaces() {
    auto log = log_;
    willChange_ = LaunchAtLogin::observable()->objectWillChange().sink([log] { log->push_back("objectWillChange"); });
    kvo_ = LaunchAtLogin::kvo()->observe(
        "isEnabled", NSKeyValueObservingOptionNew | NSKeyValueObservingOptionPrior,
        [log](NSObject&, const NSKeyValueChange& change) {
          log->push_back(change.isPrior ? "kvo.willChange"
                                        : std::string("kvo.didChange(") +
                                              (std::any_cast<bool>(change.newValue) ? "true" : "false") + ")");
        });
    published_ = LaunchAtLogin::publisher().sink(
        [log](bool v) { log->push_back(std::string("publisher(") + (v ? "true" : "false") + ")"); });
    log_->clear();
  }

  static std::vector<std::string> messages(const OSLogCapture& capture) {
    std::vector<std::string> out;
    for (const auto& e : capture.entries()) out.push_back(e.message);
    return out;
  }

  std::shared_ptr<EventLog> log_ = std::make_shared<EventLog>();
  std::shared_ptr<FakeLoginItemRegistry> registry_;
  Combine::AnyCancellable willChange_, published_;
  NSKeyValueObservation kvo_;
};

TEST_F(LaunchAtLoginTest, OnlyAnEnabledMainAppServiceReadsAsEnabledOnEveryFace) {
  const std::vector<std::pair<SMAppServiceStatus, bool>> cases = {
      {SMAppServiceStatus::notRegistered, false},
      {SMAppServiceStatus::enabled, true},
      {SMAppServiceStatus::requiresApproval, false},
      {SMAppServiceStatus::notFound, false},
  };
  for (const auto& [status, expected] : cases) {
    registry_->mainStatus = status;
    SCOPED_TRACE(static_cast<long>(status));
    EXPECT_EQ(LaunchAtLogin::isEnabled(), expected);
    EXPECT_EQ(LaunchAtLogin::observable()->isEnabled(), expected);
    EXPECT_EQ(LaunchAtLogin::kvo()->isEnabled(), expected);
    EXPECT_EQ(std::any_cast<bool>(LaunchAtLogin::kvo()->valueForKey("isEnabled")), expected);
  }
}

TEST_F(LaunchAtLoginTest, EveryWriteNotifiesInOrderWhateverThePlatformDoes) {
  struct Case {
    const char* name;
    SMAppServiceStatus before;
    std::optional<NSError> registerFailure;
    bool value;
    EventLog expected;
    std::vector<std::string> logLines;
    bool after;
  };
  const NSError refused("SMAppServiceErrorDomain", 1, "Operation not permitted");
  const std::vector<Case> cases = {
      {"enabling while not registered",
       SMAppServiceStatus::notRegistered,
       std::nullopt,
       true,
       {"objectWillChange", "kvo.willChange", "register(main)", "kvo.didChange(true)", "publisher(true)"},
       {},
       true},
      {"enabling while enabled registers afresh",
       SMAppServiceStatus::enabled,
       std::nullopt,
       true,
       {"objectWillChange", "kvo.willChange", "unregister(main)", "register(main)", "kvo.didChange(true)",
        "publisher(true)"},
       {},
       true},
      {"enabling while awaiting approval does not unregister first",
       SMAppServiceStatus::requiresApproval,
       std::nullopt,
       true,
       {"objectWillChange", "kvo.willChange", "register(main)", "kvo.didChange(true)", "publisher(true)"},
       {},
       true},
      {"disabling while enabled",
       SMAppServiceStatus::enabled,
       std::nullopt,
       false,
       {"objectWillChange", "kvo.willChange", "unregister(main)", "kvo.didChange(false)", "publisher(false)"},
       {},
       false},
      {"disabling while not registered fails, is logged, and still notifies",
       SMAppServiceStatus::notRegistered,
       std::nullopt,
       false,
       {"objectWillChange", "kvo.willChange", "unregister(main)", "kvo.didChange(false)", "publisher(false)"},
       {"Failed to disable launch at login: The item is not registered."},
       false},
      {"a refused enable: the platform keeps its state, the publisher carries the request",
       SMAppServiceStatus::notRegistered,
       refused,
       true,
       {"objectWillChange", "kvo.willChange", "register(main)", "kvo.didChange(false)", "publisher(true)"},
       {"Failed to enable launch at login: Operation not permitted"},
       false},
  };
  observeAllFaces();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    registry_->mainStatus = c.before;
    registry_->registerFailure = c.registerFailure;
    log_->clear();
    OSLogCapture capture;

    LaunchAtLogin::setIsEnabled(c.value);

    EXPECT_EQ(*log_, c.expected);
    EXPECT_EQ(messages(capture), c.logLines);
    EXPECT_EQ(LaunchAtLogin::isEnabled(), c.after);
    for (const auto& entry : capture.entries()) EXPECT_EQ(entry.category, "main");
  }
}

TEST_F(LaunchAtLoginTest, EveryFaceWritesThroughTheSameSequence) {
  const std::vector<std::pair<const char*, std::function<void()>>> faces = {
      {"the static property", [] { LaunchAtLogin::setIsEnabled(true); }},
      {"the shared observable object", [] { LaunchAtLogin::observable()->setIsEnabled(true); }},
      {"another observable object", [] { LaunchAtLogin::Observable().setIsEnabled(true); }},
      {"the KVO object", [] { LaunchAtLogin::kvo()->setIsEnabled(true); }},
      {"the channel",
       [] {
         LaunchAtLogin::handleLaunchAtStartupCall(
             {"launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", true}}}, [](FlutterResultValue) {});
       }},
  };
  observeAllFaces();
  for (const auto& [name, write] : faces) {
    SCOPED_TRACE(name);
    registry_->mainStatus = SMAppServiceStatus::enabled;  // the present value: written all the same
    log_->clear();
    write();
    EXPECT_EQ(*log_, (EventLog{"objectWillChange", "kvo.willChange", "unregister(main)", "register(main)",
                               "kvo.didChange(true)", "publisher(true)"}));
  }
}

TEST_F(LaunchAtLoginTest, ThePlatformVersionChoosesThePathAndGuardsThePublishers) {
  struct Case {
    NSOperatingSystemVersion version;
    bool value;
    EventLog expected;
  };
  const std::vector<Case> cases = {
      {{13, 0, 0},
       true,
       {"objectWillChange", "kvo.willChange", "register(main)", "kvo.didChange(true)", "publisher(true)"}},
      {{12, 7, 1},
       true,
       {"objectWillChange", "kvo.willChange", "SMLoginItemSetEnabled(" + kHelper + ", true)", "kvo.didChange(false)",
        "publisher(true)"}},
      {{11, 0, 0},
       false,
       {"objectWillChange", "kvo.willChange", "SMLoginItemSetEnabled(" + kHelper + ", false)", "kvo.didChange(false)",
        "publisher(false)"}},
      {{10, 14, 6}, true, {"kvo.willChange", "SMLoginItemSetEnabled(" + kHelper + ", true)", "kvo.didChange(false)"}},
  };
  observeAllFaces();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.version.majorVersion << "." << c.version.minorVersion);
    NSProcessInfo::processInfo().setOperatingSystemVersionForTesting(c.version);
    registry_->mainStatus = SMAppServiceStatus::notRegistered;
    log_->clear();
    LaunchAtLogin::setIsEnabled(c.value);
    EXPECT_EQ(*log_, c.expected);
  }
}

TEST_F(LaunchAtLoginTest, TheLegacyReadTakesOnlyABooleanOnDemandOfTheFirstJobWithTheHelperLabel) {
  using D = CFValue::Dictionary;
  auto job = [](CFValue label, std::optional<CFValue> onDemand) {
    D d{{"Label", std::move(label)}, {"Program", "/x"}};
    if (onDemand) d.emplace_back("OnDemand", *onDemand);
    return CFValue(d);
  };
  const CFValue helperOn = job(kHelper, true);
  struct Case {
    const char* name;
    std::optional<CFValue> jobs;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"no list at all", std::nullopt, false},
      {"a dictionary instead of a list", helperOn, false},
      {"an empty list", CFValue::array({}), false},
      {"the helper on", CFValue::array({helperOn}), true},
      {"the helper off", CFValue::array({job(kHelper, false)}), false},
      {"no OnDemand", CFValue::array({job(kHelper, std::nullopt)}), false},
      {"OnDemand a string", CFValue::array({job(kHelper, "true")}), false},
      {"OnDemand a number", CFValue::array({job(kHelper, 1)}), false},
      {"only another application's helper", CFValue::array({job("org.other.App-LaunchAtLoginHelper", true)}), false},
      {"the bundle identifier alone is not the label", CFValue::array({job("org.example.Client", true)}), false},
      {"a label that is not a string", CFValue::array({job(5, true)}), false},
      {"two jobs: the first, off, decides", CFValue::array({job(kHelper, false), helperOn}), false},
      {"two jobs: the first, on, decides", CFValue::array({helperOn, job(kHelper, false)}), true},
      {"a list with something other than a dictionary", CFValue::array({helperOn, "stray"}), false},
      {"a dictionary with a key that is not a string",
       CFValue::array({helperOn, CFValue(D{{1, "one"}, {"Label", "x"}})}), false},
  };
  NSProcessInfo::processInfo().setOperatingSystemVersionForTesting({12, 6, 0});
  for (const auto& c : cases) {
    registry_->jobs = c.jobs;
    EXPECT_EQ(LaunchAtLogin::isEnabled(), c.expected) << c.name;
  }
}

TEST_F(LaunchAtLoginTest, MigrationRunsOnceOnTheModernPathAndTellsNoObserver) {
  const NSError refused("SMAppServiceErrorDomain", 1, "Operation not permitted");
  struct Case {
    const char* name;
    NSOperatingSystemVersion version;
    bool flagBefore;
    bool legacyOn;
    std::optional<NSError> registerFailure;
    EventLog expected;
    bool flagAfter;
    std::vector<std::string> logLines;
  };
  const std::string legacyOff = "SMLoginItemSetEnabled(" + kHelper + ", false)";
  const std::string helperGone = "unregister(" + kHelper + ")";
  const std::vector<Case> cases = {
      {"before macOS 13: nothing, the flag untouched", {12, 7, 0}, false, true, std::nullopt, {}, false, {}},
      {"already migrated: nothing", {13, 0, 0}, true, true, std::nullopt, {}, true, {}},
      {"legacy item on: registered, then the legacy item removed",
       {13, 0, 0},
       false,
       true,
       std::nullopt,
       {"register(main)", legacyOff, helperGone},
       true,
       {}},
      {"legacy item off: only the legacy item removed",
       {14, 0, 0},
       false,
       false,
       std::nullopt,
       {legacyOff, helperGone},
       true,
       {}},
      {"a failed register is logged and the flag stays set",
       {14, 0, 0},
       false,
       true,
       refused,
       {"register(main)", legacyOff, helperGone},
       true,
       {"Failed to enable launch at login: Operation not permitted"}},
  };
  observeAllFaces();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::TempDir config;
    NSUserDefaults::resetStandardUserDefaultsForTesting(config.path());
    if (c.flagBefore) NSUserDefaults::standardUserDefaults().setBool(true, "LaunchAtLogin__hasMigrated");
    NSProcessInfo::processInfo().setOperatingSystemVersionForTesting(c.version);
    registry_->mainStatus = SMAppServiceStatus::notRegistered;
    registry_->registerFailure = c.registerFailure;
    registry_->jobs = CFValue::array({CFValue::dictionary({{"Label", kHelper}, {"OnDemand", c.legacyOn}})});
    log_->clear();
    OSLogCapture capture;

    LaunchAtLogin::migrateIfNeeded();
    EXPECT_EQ(*log_, c.expected);
    EXPECT_EQ(messages(capture), c.logLines);
    // Persisted, as another run of the application would read it.
    EXPECT_EQ(NSUserDefaults(config.file("org.example.Client.plist")).boolForKey("LaunchAtLogin__hasMigrated"),
              c.flagAfter);

    log_->clear();
    LaunchAtLogin::migrateIfNeeded();
    if (c.flagAfter) {
      EXPECT_EQ(*log_, EventLog{}) << "a second migration";
    }
  }
  NSUserDefaults::resetStandardUserDefaultsForTesting(login_item_testing::testConfigHome);
}

TEST_F(LaunchAtLoginTest, APublisherSubscriberGetsTheLastWrittenValueAtOnceThenEveryWrite) {
  LaunchAtLogin::setIsEnabled(true);
  std::vector<bool> seen;
  auto token = LaunchAtLogin::publisher().sink([&](bool v) { seen.push_back(v); });
  LaunchAtLogin::setIsEnabled(false);
  LaunchAtLogin::setIsEnabled(false);
  token.cancel();
  LaunchAtLogin::setIsEnabled(true);
  EXPECT_EQ(seen, (std::vector<bool>{true, false, false}));
}

TEST_F(LaunchAtLoginTest, EveryThreadGetsTheSameSharedObjects) {
  struct Seen {
    const void *publisher, *observable, *kvo;
  };
  std::vector<Seen> seen(8);
  std::vector<std::thread> threads;
  for (auto& s : seen) {
    threads.emplace_back([&s] {
      s = {&LaunchAtLogin::publisher(), LaunchAtLogin::observable().get(), LaunchAtLogin::kvo().get()};
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& s : seen) {
    EXPECT_EQ(s.publisher, &LaunchAtLogin::publisher());
    EXPECT_EQ(s.observable, LaunchAtLogin::observable().get());
    EXPECT_EQ(s.kvo, LaunchAtLogin::kvo().get());
  }
}

}  // namespace
