#include "platform/foundation/NSUserDefaults.h"

#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSPathUtilities.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/posix/Files.h"

namespace {

// The configuration folder a test pinned in place of the user's.
struct PinnedConfigHome {
  Mutex mutex;
  std::optional<std::string> folder GUARDED_BY(mutex);
};

PinnedConfigHome& pinnedConfigHome() {
  static NoDestructor<PinnedConfigHome> pinned;
  return *pinned;
}

// A name that is safe as one path component: no separators, no dot-dot, nothing hidden.
bool isSafeFileName(const std::string& name) {
  if (name.empty() || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '-' || c == '_'; });
}

std::string standardDomain() {
  if (auto id = NSBundle::mainBundle().bundleIdentifier(); id && isSafeFileName(*id)) return *id;
  std::string name = NSProcessInfo::processInfo().processName();
  return isSafeFileName(name) ? name : "proxyhost";
}

plist_t asPlist(void* p) { return static_cast<plist_t>(p); }

plist_t readDictionary(const std::string& path) {
  posix::Expected<std::string> bytes = posix::readFile(path, UINT32_MAX);
  if (!bytes || bytes->empty()) return nullptr;
  plist_t root = nullptr;
  plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
  if (root != nullptr && plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    root = nullptr;
  }
  return root;
}

}  // namespace

NSUserDefaults& NSUserDefaults::standardUserDefaults() {
  static NoDestructor<NSUserDefaults> standard;  // lives until the process ends
  return *standard;
}

NSUserDefaults::NSUserDefaults(std::string path) : path_(std::move(path)) {}

NSUserDefaults::~NSUserDefaults() {
  if (dictionary_ != nullptr) plist_free(asPlist(dictionary_));
}

std::string NSUserDefaults::userConfigurationDirectory() {
  {
    PinnedConfigHome& pinned = pinnedConfigHome();
    MutexLock lock(pinned.mutex);
    if (pinned.folder) return *pinned.folder;
  }
  const char* xdg = getenv("XDG_CONFIG_HOME");
  // Relative values are invalid for the variable and are ignored.
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  return NSHomeDirectory() + "/.config";
}

void NSUserDefaults::resetStandardUserDefaultsForTesting(std::optional<std::string> configHome) {
  {
    PinnedConfigHome& pinned = pinnedConfigHome();
    MutexLock lock(pinned.mutex);
    pinned.folder = std::move(configHome);
  }
  NSUserDefaults& standard = standardUserDefaults();
  MutexLock lock(standard.mutex_);
  if (standard.dictionary_ != nullptr) plist_free(asPlist(standard.dictionary_));
  standard.dictionary_ = nullptr;
  standard.loaded_ = false;
  standard.path_.clear();
}

void NSUserDefaults::loadLocked() {
  if (loaded_) return;
  if (path_.empty()) path_ = userConfigurationDirectory() + "/" + standardDomain() + ".plist";
  plist_t root = readDictionary(path_);
  dictionary_ = root != nullptr ? root : plist_new_dict();
  loaded_ = true;
}

bool NSUserDefaults::writeLocked() {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(asPlist(dictionary_), &xml, &length);
  if (xml == nullptr) return false;
  // The file and the folders made for it are the user's alone.
  bool ok = posix::createFolders(posix::folderOf(path_), 0700) &&
            posix::writeFileAtomically(path_, std::string_view(xml, length), 0600);
  free(xml);
  return ok;
}

std::string NSUserDefaults::path() {
  MutexLock lock(mutex_);
  loadLocked();
  return path_;
}

bool NSUserDefaults::boolForKey(const std::string& key) {
  MutexLock lock(mutex_);
  loadLocked();
  plist_t value = plist_dict_get_item(asPlist(dictionary_), key.c_str());
  if (value == nullptr) return false;
  switch (plist_get_node_type(value)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(value, &b);
      return b != 0;
    }
    case PLIST_UINT: {
      // libplist keeps negative integers here too, as their two's complement.
      uint64_t n = 0;
      plist_get_uint_val(value, &n);
      return n != 0;
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(value, &d);
      return d != 0;
    }
    case PLIST_STRING: {
      char* raw = nullptr;
      plist_get_string_val(value, &raw);
      std::string s = raw != nullptr ? raw : "";
      free(raw);
      std::string lower;
      for (unsigned char c : s) lower += static_cast<char>(std::tolower(c));
      if (lower == "yes" || lower == "true") return true;
      char* end = nullptr;
      long long n = strtoll(s.c_str(), &end, 10);
      return end != s.c_str() && n != 0;
    }
    default: return false;
  }
}

void NSUserDefaults::setBool(bool value, const std::string& key) {
  MutexLock lock(mutex_);
  loadLocked();
  plist_dict_set_item(asPlist(dictionary_), key.c_str(), plist_new_bool(value ? 1 : 0));
  writeLocked();
}
