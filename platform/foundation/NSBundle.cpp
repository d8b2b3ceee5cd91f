#include "platform/foundation/NSBundle.h"

#include <plist/plist.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace {

std::map<std::string, std::string> readInfoPlist(const std::string& file) {
  std::map<std::string, std::string> info;
  std::ifstream in(file, std::ios::binary);
  if (!in) return info;
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty()) return info;
  plist_t root = nullptr;
  if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  } else {
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  }
  if (root == nullptr) return info;
  std::unique_ptr<void, decltype(&plist_free)> owner(root, &plist_free);
  if (plist_get_node_type(root) != PLIST_DICT) return info;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(root, &it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, it, &key, &value);
    if (key == nullptr) break;
    if (value != nullptr && plist_get_node_type(value) == PLIST_STRING) {
      char* s = nullptr;
      plist_get_string_val(value, &s);
      if (s != nullptr) info.emplace(key, s);
      free(s);
    }
    free(key);
  }
  free(it);
  return info;
}

std::string executableBundlePath() {
  char buf[PATH_MAX];
  if (realpath("/proc/self/exe", buf) == nullptr) return ".";
  std::string exe(buf);
  std::string dir = exe.substr(0, exe.rfind('/'));
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
  static const NSBundle* main = new NSBundle(bundleWithPath(executableBundlePath()));
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
