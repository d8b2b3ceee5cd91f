// NSBundle: an application bundle on disk and its Info.plist.
//
// The main bundle is found from the running executable: .../X.app/Contents/MacOS/<exe> makes
// .../X.app the bundle, whose Contents/Info.plist (XML or binary) is read once. An executable
// outside a bundle gets a bundle without an info dictionary, so it has no identifier, as a
// command-line tool on the platform has none.
#pragma once

#include <map>
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

 private:
  std::string path_;
  std::map<std::string, std::string> info_;
};
