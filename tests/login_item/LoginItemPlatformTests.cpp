// The platform pieces under the login item service: the XDG autostart registry and the legacy job
// table, user defaults, string tables, key-value observing, subjects and the logger.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/combine/Combine.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSKeyValueObserving.h"
#include "platform/foundation/NSStringsFile.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/oslog/Logger.h"
#include "platform/service_management/XDGLoginItemRegistry.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// ---- XDG autostart entries ----

class XDGRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NSBundle::overrideMainBundleForTesting(
        NSBundle::bundleWithInfo({{"CFBundleIdentifier", "org.example.Client"}, {"CFBundleName", "Client"}}));
  }
  void TearDown() override { NSBundle::overrideMainBundleForTesting(std::nullopt); }

  TempDir config_;
  XDGLoginItemRegistry registry_{{config_.path(), "/opt/Client.app/Contents/MacOS/client"}};
  const SMAppService main_ = SMAppService::mainAppService();
  std::string entry_ = config_.path() + "/autostart/org.example.Client.desktop";
};

TEST_F(XDGRegistryTest, RegisterWritesAnEntryThatStartsTheAppAndUnregisterRemovesIt) {
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::notRegistered);
  ASSERT_EQ(registry_.registerService(main_), std::nullopt);
  EXPECT_EQ(slurp(entry_),
            "[Desktop Entry]\nType=Application\nName=Client\nExec=/opt/Client.app/Contents/MacOS/client\n"
            "Terminal=false\n");
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::enabled);
  // Registering again replaces the entry in one step and leaves no temporary file behind.
  ASSERT_EQ(registry_.registerService(main_), std::nullopt);
  EXPECT_EQ(std::distance(fs::directory_iterator(config_.path() + "/autostart"), fs::directory_iterator()), 1);

  EXPECT_EQ(registry_.unregisterService(main_), std::nullopt);
  EXPECT_FALSE(fs::exists(entry_));
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::notRegistered);
  auto error = registry_.unregisterService(main_);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code(), kSMErrorJobNotFound);
  EXPECT_EQ(error->localizedDescription(), "The login item is not registered.");
}

TEST_F(XDGRegistryTest, AnEntryIsEnabledUnlessTheDesktopSwitchedItOff) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"[Desktop Entry]\nExec=x\n", true},
      {"[Desktop Entry]\nHidden=true\n", false},
      {"[Desktop Entry]\nHidden = true\n", false},
      {"[Desktop Entry]\nHidden=false\n", true},
      {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", false},
      {"[Desktop Entry]\nX-GNOME-Autostart-enabled=true\n", true},
      {"# Hidden=true\n[Desktop Entry]\nExec=x\n[Desktop Action quit]\nHidden=true\n", true},
  };
  fs::create_directories(config_.path() + "/autostart");
  for (const auto& [text, enabled] : cases) {
    std::ofstream(entry_) << text;
    EXPECT_EQ(registry_.statusOf(main_), enabled ? SMAppServiceStatus::enabled : SMAppServiceStatus::notRegistered)
        << text;
  }
  // Registering over a switched-off entry switches it on; unregistering removes it.
  ASSERT_EQ(registry_.registerService(main_), std::nullopt);
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::enabled);
}

TEST_F(XDGRegistryTest, AnIdentifierThatCannotNameAFileIsNotFoundAndWritesNothing) {
  for (const char* id : {"", "../escape", "a/b", ".hidden"}) {
    NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({{"CFBundleIdentifier", id}}));
    EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::notFound) << id;
    EXPECT_TRUE(registry_.registerService(main_).has_value()) << id;
    EXPECT_TRUE(registry_.unregisterService(main_).has_value()) << id;
  }
  NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({}));
  EXPECT_EQ(registry_.statusOf(main_), SMAppServiceStatus::notFound);
  EXPECT_FALSE(fs::exists(config_.path() + "/autostart"));
  EXPECT_FALSE(fs::exists(config_.path() + "/escape.desktop"));
}

TEST_F(XDGRegistryTest, FailuresComeBackAsErrors) {
  // A file where the autostart folder should be.
  std::ofstream(config_.path() + "/autostart") << "";
  auto error = registry_.registerService(main_);
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->localizedDescription().find("/autostart"), std::string::npos);
  // A helper application is not shipped here, but a helper's stale entry can still be removed.
  fs::remove(config_.path() + "/autostart");
  fs::create_directories(config_.path() + "/autostart");
  auto helper = SMAppService::loginItemServiceWithIdentifier("org.example.Client-Helper");
  EXPECT_TRUE(registry_.registerService(helper).has_value());
  std::ofstream(config_.path() + "/autostart/org.example.Client-Helper.desktop") << "[Desktop Entry]\n";
  EXPECT_EQ(registry_.statusOf(helper), SMAppServiceStatus::enabled);
  EXPECT_EQ(registry_.unregisterService(helper), std::nullopt);
  EXPECT_EQ(registry_.statusOf(helper), SMAppServiceStatus::notRegistered);
}

TEST(XDGDesktopEntryExec, KeepsEveryPathOnePath) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/opt/app/bin/client", "/opt/app/bin/client"},
      {"/home/me/My Apps/client", "\"/home/me/My Apps/client\""},
      {"/opt/100%/client", "/opt/100%%/client"},
      {"/opt/a\"b$c`d/client", "\"/opt/a\\\\\"b\\\\$c\\\\`d/client\""},
      {"/opt/back\\slash", "\"/opt/back\\\\\\\\slash\""},
      {"/opt/new\nline", "\"/opt/new\\nline\""},
      {"/opt/semi;colon", "\"/opt/semi;colon\""},
  };
  for (const auto& [path, exec] : cases) EXPECT_EQ(XDGDesktopEntryExecValue(path), exec) << path;
}

TEST(XDGLegacyJobTable, SetEnabledReplacesTheJobsWithTheLabelAndLeavesOtherShapesAlone) {
  XDGLoginItemRegistry registry;
  auto jobs = [&] { return registry.copyAllJobDictionaries(kSMDomainUserLaunchd); };
  const CFValue other = CFValue::dictionary({{"Label", "org.other"}, {"OnDemand", false}});
  registry.setJobDictionaries(CFValue::array({other, CFValue::dictionary({{"Label", "h"}, {"OnDemand", false}})}));

  EXPECT_TRUE(registry.setLoginItemEnabled("h", true));
  EXPECT_EQ(jobs(), CFValue::array({other, CFValue::dictionary({{"Label", "h"}, {"OnDemand", true}})}));
  EXPECT_TRUE(registry.setLoginItemEnabled("h", false));
  EXPECT_EQ(jobs(), CFValue::array({other}));
  EXPECT_EQ(registry.copyAllJobDictionaries(kSMDomainSystemLaunchd), std::nullopt);

  registry.setJobDictionaries(CFValue("not a list"));
  EXPECT_FALSE(registry.setLoginItemEnabled("h", true));
  EXPECT_EQ(jobs(), CFValue("not a list"));
  registry.setJobDictionaries(std::nullopt);
  EXPECT_EQ(jobs(), std::nullopt);
}

// ---- NSUserDefaults ----

TEST(NSUserDefaults, KeepsBooleansInAPlistFileAndLeavesOtherKeysAlone) {
  TempDir dir;
  const std::string file = dir.file("deep/er/defaults.plist");
  {
    NSUserDefaults defaults(file);
    EXPECT_FALSE(defaults.boolForKey("Flag"));
    EXPECT_FALSE(fs::exists(file));  // reading writes nothing
    defaults.setBool(true, "Flag");
  }
  EXPECT_TRUE(NSUserDefaults(file).boolForKey("Flag"));

  // Written by someone else, with keys of every kind.
  std::ofstream(file) << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
    <key>yes</key><string>YES</string> <key>True</key><string>True</string> <key>one</key><string>1</string>
    <key>no</key><string>no</string> <key>zero</key><integer>0</integer> <key>five</key><integer>5</integer>
    <key>half</key><real>0.5</real> <key>list</key><array><true/></array> <key>keep</key><string>me</string>
    </dict></plist>)";
  NSUserDefaults defaults(file);
  const std::vector<std::pair<std::string, bool>> readings = {
      {"yes", true}, {"True", true}, {"one", true}, {"no", false}, {"zero", false},
      {"five", true}, {"half", true}, {"list", false}, {"absent", false}};
  for (const auto& [key, value] : readings) EXPECT_EQ(defaults.boolForKey(key), value) << key;
  defaults.setBool(false, "yes");
  EXPECT_NE(slurp(file).find("<string>me</string>"), std::string::npos);
  EXPECT_FALSE(NSUserDefaults(file).boolForKey("yes"));
  EXPECT_EQ((fs::status(file).permissions() & fs::perms::all), fs::perms::owner_read | fs::perms::owner_write);
}

TEST(NSUserDefaults, AnUnreadableFileReadsEmptyAndAFailedWriteKeepsTheValue) {
  TempDir dir;
  std::ofstream(dir.file("broken.plist")) << "<plist><dict><key>Flag</key>";
  NSUserDefaults broken(dir.file("broken.plist"));
  EXPECT_FALSE(broken.boolForKey("Flag"));
  broken.setBool(true, "Flag");
  EXPECT_TRUE(NSUserDefaults(dir.file("broken.plist")).boolForKey("Flag"));

  std::ofstream(dir.file("file")) << "";
  NSUserDefaults unwritable(dir.file("file/defaults.plist"));
  unwritable.setBool(true, "Flag");
  EXPECT_TRUE(unwritable.boolForKey("Flag"));
}

TEST(NSUserDefaults, TheStandardDefaultsLiveUnderTheConfigurationFolderByBundleIdentifier) {
  TempDir config;
  NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({{"CFBundleIdentifier", "org.example.Client"}}));
  NSUserDefaults::resetStandardUserDefaultsForTesting(config.path());
  NSUserDefaults::standardUserDefaults().setBool(true, "Flag");
  EXPECT_EQ(NSUserDefaults::standardUserDefaults().path(), config.file("org.example.Client.plist"));
  EXPECT_TRUE(NSUserDefaults(config.file("org.example.Client.plist")).boolForKey("Flag"));
  NSUserDefaults::resetStandardUserDefaultsForTesting(std::nullopt);
  NSBundle::overrideMainBundleForTesting(std::nullopt);
}

// ---- String tables ----

TEST(NSStringsFile, ParsesTheOldStyleFormInEveryEncoding) {
  using Table = std::map<std::string, std::string>;
  auto utf16le = [](std::string_view ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) (out += c) += '\0';
    return out;
  };
  const std::vector<std::tuple<const char*, std::string, std::optional<Table>>> cases = {
      {"plain", "\"a\" = \"b\";", Table{{"a", "b"}}},
      {"comments and spacing", "/* c */\n\"a\"\t=\"b\" ; // d\n\"c\"=\"d\";", Table{{"a", "b"}, {"c", "d"}}},
      {"unquoted words", "key_1 = value.2;", Table{{"key_1", "value.2"}}},
      {"key only", "\"same\";", Table{{"same", "same"}}},
      {"escapes", R"("e" = "q\" b\\ n\n t\t \U00e9 \u20AC \101";)", Table{{"e", "q\" b\\ n\n t\t é € A"}}},
      {"a surrogate pair", R"("s" = "\UD83D\UDE00";)", Table{{"s", "😀"}}},
      {"later duplicates win", "\"a\"=\"1\";\"a\"=\"2\";", Table{{"a", "2"}}},
      {"UTF-8 with a byte order mark", "\xEF\xBB\xBF\"ä\" = \"ö\";", Table{{"ä", "ö"}}},
      {"UTF-16 with a byte order mark", utf16le("\"a\" = \"b\";"), Table{{"a", "b"}}},
      {"XML plist", "<?xml version=\"1.0\"?><plist><dict><key>a</key><string>b</string></dict></plist>",
       Table{{"a", "b"}}},
      {"empty", "", Table{}},
      {"missing semicolon", "\"a\" = \"b\"", std::nullopt},
      {"unterminated string", "\"a\" = \"b;", std::nullopt},
      {"unterminated comment", "\"a\" = \"b\"; /* ", std::nullopt},
      {"missing value", "\"a\" = ;", std::nullopt},
      {"bad unicode escape", R"("a" = "\U00G0";)", std::nullopt},
      {"odd UTF-16", "\xFF\xFE\"", std::nullopt},
  };
  for (const auto& [name, text, expected] : cases) {
    EXPECT_EQ(NSParseStringsFile(std::span<const char>(text.data(), text.size())), expected) << name;
  }
}

TEST(NSBundleLocalizedStrings, TheFirstLocalizationWithTheTableDecides) {
  TempDir bundle;
  auto write = [&](const std::string& rel, const std::string& text) {
    fs::create_directories(fs::path(bundle.file(rel)).parent_path());
    std::ofstream(bundle.file(rel)) << text;
  };
  write("Contents/Info.plist",
        "<?xml version=\"1.0\"?><plist><dict><key>CFBundleDevelopmentRegion</key><string>fr</string></dict></plist>");
  write("Contents/Resources/fr.lproj/Localizable.strings", "\"hello\" = \"bonjour\";");
  write("Contents/Resources/fr.lproj/Other.strings", "\"hello\" = \"salut\";");
  write("Contents/Resources/en.lproj/Localizable.strings", "\"hello\" = \"hi\"; \"only en\" = \"x\";");
  write("Contents/Resources/de.lproj/Localizable.strings", "\"hello\" = \"hallo\"; broken");
  NSBundle b = NSBundle::bundleWithPath(bundle.path());

  // The locale variables decide too: pin them to one that names no language.
  std::map<std::string, std::optional<std::string>> saved;
  for (const char* var : {"LANGUAGE", "LC_ALL"}) {
    const char* v = getenv(var);
    saved[var] = v ? std::optional<std::string>(v) : std::nullopt;
  }
  setenv("LC_ALL", "C", 1);
  struct Case {
    const char* language;
    std::string key, value, table, expected;
  };
  const std::vector<Case> cases = {
      {"xx", "hello", "", "", "bonjour"},          // no such localization: the development region
      {"en_GB.UTF-8:fr", "hello", "", "", "hi"},   // en_GB, en-GB, then en
      {"xx", "hello", "", "Other", "salut"},
      {"xx", "only en", "", "", "only en"},        // the chosen table lacks it: the key
      {"xx", "missing", "fallback", "", "fallback"},
      {"xx", "hello", "", "../x", "hello"},
      {"de", "hello", "", "", "hello"},            // an unreadable table gives no texts
  };
  for (const auto& c : cases) {
    setenv("LANGUAGE", c.language, 1);
    EXPECT_EQ(b.localizedStringForKey(c.key, c.value, c.table), c.expected) << c.language << " " << c.key;
  }
  for (const auto& [var, value] : saved) {
    if (value) setenv(var.c_str(), value->c_str(), 1);
    else unsetenv(var.c_str());
  }
}

// ---- Key-value observing ----

class Box : public NSObject {
 public:
  int value = 0;
  std::any valueForKey(const std::string& key) const override { return key == "value" ? std::any(value) : std::any(); }
  void set(int v) {
    willChangeValueForKey("value");
    value = v;
    didChangeValueForKey("value");
  }
};

std::string describe(const NSKeyValueChange& c) {
  auto v = [](const std::any& a) { return a.has_value() ? std::to_string(std::any_cast<int>(a)) : "-"; };
  return std::string(c.isPrior ? "prior" : "did") + " old=" + v(c.oldValue) + " new=" + v(c.newValue);
}

TEST(KeyValueObserving, EachObserverGetsWhatItsOptionsAskFor) {
  const std::vector<std::tuple<unsigned, std::vector<std::string>>> cases = {
      {0, {"did old=- new=-"}},
      {NSKeyValueObservingOptionNew, {"did old=- new=2"}},
      {NSKeyValueObservingOptionOld | NSKeyValueObservingOptionNew, {"did old=1 new=2"}},
      {NSKeyValueObservingOptionPrior | NSKeyValueObservingOptionOld, {"prior old=1 new=-", "did old=1 new=-"}},
      {NSKeyValueObservingOptionInitial | NSKeyValueObservingOptionNew, {"did old=- new=1", "did old=- new=2"}},
  };
  for (const auto& [options, expected] : cases) {
    Box box;
    box.value = 1;
    std::vector<std::string> seen;
    auto observation = box.observe("value", options, [&](NSObject&, const NSKeyValueChange& c) { seen.push_back(describe(c)); });
    auto other = box.observe("other", NSKeyValueObservingOptionPrior, [&](NSObject&, const NSKeyValueChange&) { seen.push_back("other"); });
    box.set(2);
    observation.invalidate();
    box.set(3);
    EXPECT_EQ(seen, expected) << options;
  }
}

TEST(KeyValueObserving, NestedChangesPairTheirOldValuesAndEndedObservationsHearNothing) {
  Box box;
  std::vector<std::string> seen;
  NSKeyValueObservation second;
  auto first = box.observe("value", NSKeyValueObservingOptionOld | NSKeyValueObservingOptionNew,
                           [&](NSObject&, const NSKeyValueChange& c) {
                             seen.push_back(describe(c));
                             second.invalidate();  // ends the other one mid-notification
                           });
  second = box.observe("value", 0, [&](NSObject&, const NSKeyValueChange&) { seen.push_back("second"); });
  box.willChangeValueForKey("value");
  box.value = 5;
  box.set(6);  // inside the outer change
  box.didChangeValueForKey("value");
  EXPECT_EQ(seen, (std::vector<std::string>{"did old=5 new=6", "did old=0 new=6"}));
}

// ---- Combine ----

TEST(CurrentValueSubject, GivesTheCurrentValueFirstThenEverySendUntilCancelled) {
  Combine::CurrentValueSubject<int> subject(1);
  auto publisher = subject.eraseToAnyPublisher();
  std::vector<std::string> seen;
  auto a = publisher.sink([&](int v) { seen.push_back("a" + std::to_string(v)); });
  subject.send(2);
  auto b = subject.sink([&](int v) { seen.push_back("b" + std::to_string(v)); });
  subject.setValue(3);
  a.cancel();
  subject.send(4);
  { auto gone = std::move(b); }
  subject.send(5);
  EXPECT_EQ(seen, (std::vector<std::string>{"a1", "a2", "b2", "a3", "b3", "b4"}));
  EXPECT_EQ(subject.value(), 5);
  EXPECT_EQ(subject.subscriberCount(), 0u);
}

TEST(CurrentValueSubject, SubscribersSeeConcurrentSendsInTheOrderTheyBecameCurrent) {
  Combine::CurrentValueSubject<int> subject(0);
  std::vector<int> first, second;
  auto a = subject.sink([&](int v) { first.push_back(v); });
  auto b = subject.sink([&](int v) { second.push_back(v); });
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 1; i <= 250; ++i) subject.send(t * 1000 + i);
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(first.size(), 1001u);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first.back(), subject.value());
}

TEST(ObservableObjectPublisher, TellsEverySubscriberUntilItCancels) {
  Combine::ObservableObject object;
  int a = 0, b = 0;
  auto ta = object.objectWillChange().sink([&] { ++a; });
  auto tb = object.objectWillChange().sink([&] { ++b; });
  object.objectWillChange().send();
  tb.cancel();
  object.objectWillChange().send();
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(2, 1));
}

// ---- Logger ----

TEST(Logger, EntriesCarryTheLoggersNamesAndTakeArgumentsAsData) {
  OSLogCapture outer;
  {
    OSLogCapture inner;
    Logger("net.example.sub", "main").error("Failed to %s: %s", "go", "100% %s done");
    ASSERT_EQ(inner.entries().size(), 1u);
    EXPECT_EQ(inner.entries()[0], (OSLogEntry{"net.example.sub", "main", OSLogType::error, "Failed to go: 100% %s done"}));
  }
  Logger("s", "c").error("after");
  ASSERT_EQ(outer.entries().size(), 1u);
  EXPECT_EQ(outer.entries()[0].message, "after");
}

}  // namespace
