// NSBundle: an application bundle on disk and its Info.plist.
//
// The main bundle is found from the running executable: .../X.app/Contents/MacOS/<exe> makes
// .../X.app the bundle, whose Contents/Info.plist (XML or binary) is read once. An executable
// outside a bundle gets a bundle without an info dictionary, so it has no identifier, as a
// command-line tool on the platform has none.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

class NSBundle {
 public:
  // Main thread. Tests may replace it with overrideMainBundleForTesting.
  static const NSBundle& mainBundle();
  // Reads <path>/Contents/Info.plist when there is one.
  static NSBundle bundleWithPath(const std::string& path);
  // A bundle with the given info dictionary entries and no files, for tests.
  static NSBundle bundleWithInfo(std::map<std::string, std::string> info);
  static void overrideMainBundleForTesting(std::optional<NSBundle> bundle);

  const std::string& bundlePath() const { return path_; }
  std::optional<std::string> bundleIdentifier() const { return objectForInfoDictionaryKey("CFBundleIdentifier"); }
  // String values of the info dictionary; other value types are not kept.
  std::optional<std::string> objectForInfoDictionaryKey(const std::string& key) const;
  std::string resourcePath() const { return path_ + "/Contents/Resources"; }

  // The localized text for `key` from <table>.strings ("Localizable" when `table` is empty) in
  // Contents/Resources/<localization>.lproj. The localization is the first one the bundle has a
  // table for among the user's languages (LANGUAGE, then LC_ALL, LC_MESSAGES, LANG: "de_DE.UTF-8"
  // tries de_DE, de-DE, de), then CFBundleDevelopmentRegion, "en" and "Base". A key the table
  // lacks, or no readable table, gives `value` when it is not empty, else the key itself.
  // Tables are old-style ("key" = "value";, UTF-8 or UTF-16 with a byte order mark) or XML or
  // binary plists; a table with a syntax error is unreadable as a whole. Each table is read
  // once per bundle. Safe from any thread.
  std::string localizedStringForKey(const std::string& key, const std::string& value = "",
                                    const std::string& table = "") const;

 private:
  struct StringTables;

  std::string path_;
  std::map<std::string, std::string> info_;
  std::shared_ptr<StringTables> stringTables_ = makeStringTables();

  static std::shared_ptr<StringTables> makeStringTables();
};
