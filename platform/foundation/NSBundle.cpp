#include "platform/foundation/NSBundle.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <vector>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"
#include "platform/foundation/NSStringsFile.h"
#include "platform/posix/Files.h"

namespace {

std::map<std::string, std::string> readInfoPlist(const std::string& file) {
  std::optional<PropertyListStrings> list = parsePropertyListStrings(posix::readFile(file).value_or(""));
  return list ? std::move(list->strings) : std::map<std::string, std::string>{};
}

std::string executableBundlePath() {
  const std::optional<std::string> exe = posix::executablePath();
  if (!exe) return ".";
  std::string dir = posix::folderOf(*exe);
  const std::string macos = "/Contents/MacOS";
  if (dir.size() > macos.size() && dir.compare(dir.size() - macos.size(), macos.size(), macos) == 0) {
    return dir.substr(0, dir.size() - macos.size());
  }
  return dir;
}

std::optional<NSBundle>& overridden() {
  static std::optional<NSBundle> bundle;
  return bundle;
}

}  // namespace

const NSBundle& NSBundle::mainBundle() {
  if (overridden()) return *overridden();
  static NoDestructor<const NSBundle> main(bundleWithPath(executableBundlePath()));
  return *main;
}

NSBundle NSBundle::bundleWithPath(const std::string& path) {
  NSBundle b;
  b.path_ = path;
  b.info_ = readInfoPlist(path + "/Contents/Info.plist");
  return b;
}

NSBundle NSBundle::bundleWithInfo(std::map<std::string, std::string> info) {
  NSBundle b;
  b.info_ = std::move(info);
  return b;
}

void NSBundle::overrideMainBundleForTesting(std::optional<NSBundle> bundle) { overridden() = std::move(bundle); }

std::optional<std::string> NSBundle::objectForInfoDictionaryKey(const std::string& key) const {
  auto it = info_.find(key);
  if (it == info_.end()) return std::nullopt;
  return it->second;
}

// Parsed string tables by file, a file that could not be read as nothing; shared by copies of a bundle.
struct NSBundle::StringTables {
  Mutex mutex;
  std::map<std::string, std::optional<std::map<std::string, std::string>>> byFile GUARDED_BY(mutex);
};

std::shared_ptr<NSBundle::StringTables> NSBundle::makeStringTables() { return std::make_shared<StringTables>(); }

namespace {

// The user's languages as localization names, most wanted first: "de_DE.UTF-8@euro" gives de_DE,
// de-DE and de. The C and POSIX locales name no language.
std::vector<std::string> preferredLocalizations() {
  std::vector<std::string> names;
  auto add = [&](const std::string& n) {
    if (!n.empty() && std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
  };
  auto addLocale = [&](std::string locale) {
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale.empty() || locale == "C" || locale == "POSIX") return;
    add(locale);
    auto underscore = locale.find('_');
    if (underscore != std::string::npos) {
      std::string dashed = locale;
      dashed[underscore] = '-';
      add(dashed);
      add(locale.substr(0, underscore));
    }
  };
  if (const char* language = getenv("LANGUAGE")) {
    std::stringstream list(language);
    std::string item;
    while (std::getline(list, item, ':')) addLocale(item);
  }
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = getenv(var);
    if (v != nullptr && v[0] != '\0') {
      addLocale(v);
      break;  // the first one set decides, as for the C library
    }
  }
  return names;
}

bool isPlainName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

}  // namespace

std::string NSBundle::localizedStringForKey(const std::string& key, const std::string& value,
                                            const std::string& table) const {
  const std::string& fallback = value.empty() ? key : value;
  std::string tableName = table.empty() ? "Localizable" : table;
  if (path_.empty() || !isPlainName(tableName)) return fallback;

  std::vector<std::string> localizations = preferredLocalizations();
  if (auto region = objectForInfoDictionaryKey("CFBundleDevelopmentRegion")) localizations.push_back(*region);
  localizations.push_back("en");
  localizations.push_back("Base");

  for (const auto& localization : localizations) {
    if (!isPlainName(localization)) continue;
    std::string file = resourcePath() + "/" + localization + ".lproj/" + tableName + ".strings";
    MutexLock lock(stringTables_->mutex);
    auto cached = stringTables_->byFile.find(file);
    if (cached == stringTables_->byFile.end()) {
      posix::Expected<std::string> bytes = posix::readFile(file);
      if (!bytes) continue;
      cached = stringTables_->byFile.emplace(file, NSParseStringsFile(*bytes)).first;
    }
    // The first localization that has the table decides, also when the key is missing there.
    if (!cached->second) return fallback;
    auto found = cached->second->find(key);
    return found != cached->second->end() ? found->second : fallback;
  }
  return fallback;
}
