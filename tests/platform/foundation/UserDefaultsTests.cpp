// User defaults in their plist file, string tables, and key-value observing.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSKeyValueObserving.h"
#include "platform/foundation/NSPathUtilities.h"
#include "platform/foundation/NSStringsFile.h"
#include "platform/foundation/NSUserDefaults.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::TempDir;

// Sets or unsets environment variables for one scope; what was there before comes back after.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) put(name, value);
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.contains(name)) {
      const char* before = std::getenv(name.c_str());
      saved_[name] = before ? std::optional<std::string>(before) : std::nullopt;
    }
    put(name, value);
  }

 private:
  static void put(const std::string& name, const std::optional<std::string>& value) {
    if (value) ::setenv(name.c_str(), value->c_str(), 1);
    else ::unsetenv(name.c_str());
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

// The folders a user's files go to: absolute variables decide, relative ones are ignored, and
// without a usable HOME the password database names the home.
TEST(UserFolders, FollowTheAbsoluteVariablesAndFallBackToTheHome) {
  ScopedEnvironment environment;
  environment.set("HOME", "/home/someone");
  environment.set("XDG_CONFIG_HOME", std::nullopt);
  environment.set("XDG_STATE_HOME", std::nullopt);
  EXPECT_EQ(NSHomeDirectory(), "/home/someone");
  EXPECT_EQ(NSUserDefaults::userConfigurationDirectory(), "/home/someone/.config");
  EXPECT_EQ(applicationSupportDirectory(), "/home/someone/.local/state");

  environment.set("XDG_CONFIG_HOME", "/xdg/config");
  environment.set("XDG_STATE_HOME", "/xdg/state");
  EXPECT_EQ(NSUserDefaults::userConfigurationDirectory(), "/xdg/config");
  EXPECT_EQ(applicationSupportDirectory(), "/xdg/state");

  environment.set("XDG_CONFIG_HOME", "xdg/config");
  environment.set("XDG_STATE_HOME", "xdg/state");
  environment.set("HOME", "relative/home");
  const passwd* entry = ::getpwuid(::getuid());
  const bool listed = entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/';
  const std::string home = listed ? entry->pw_dir : "/tmp";
  EXPECT_EQ(NSHomeDirectory(), home);
  EXPECT_EQ(NSUserDefaults::userConfigurationDirectory(), home + "/.config");
  EXPECT_EQ(applicationSupportDirectory(), home + "/.local/state");
}

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
  const std::vector<std::pair<std::string, bool>> readings = {{"yes", true},  {"True", true},  {"one", true},
                                                              {"no", false},  {"zero", false}, {"five", true},
                                                              {"half", true}, {"list", false}, {"absent", false}};
  for (const auto& [key, value] : readings) EXPECT_EQ(defaults.boolForKey(key), value) << key;
  defaults.setBool(false, "yes");
  EXPECT_NE(readFile(file).find("<string>me</string>"), std::string::npos);
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
  ScopedEnvironment environment;
  environment.set("LC_ALL", "C");
  struct Case {
    const char* language;
    std::string key, value, table, expected;
  };
  const std::vector<Case> cases = {
      {"xx", "hello", "", "", "bonjour"},         // no such localization: the development region
      {"en_GB.UTF-8:fr", "hello", "", "", "hi"},  // en_GB, en-GB, then en
      {"xx", "hello", "", "Other", "salut"},
      {"xx", "only en", "", "", "only en"},  // the chosen table lacks it: the key
      {"xx", "missing", "fallback", "", "fallback"},
      {"xx", "hello", "", "../x", "hello"},
      {"de", "hello", "", "", "hello"},  // an unreadable table gives no texts
  };
  for (const auto& c : cases) {
    environment.set("LANGUAGE", c.language);
    EXPECT_EQ(b.localizedStringForKey(c.key, c.value, c.table), c.expected) << c.language << " " << c.key;
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
    auto observation =
        box.observe("value", options, [&](NSObject&, const NSKeyValueChange& c) { seen.push_back(describe(c)); });
    auto other = box.observe("other", NSKeyValueObservingOptionPrior,
                             [&](NSObject&, const NSKeyValueChange&) { seen.push_back("other"); });
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

}  // namespace
