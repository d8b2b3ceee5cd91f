#include "platform/macos_tools/MacOSTools.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"
#include "platform/posix/Files.h"

namespace macos_tools {

namespace {

struct Seam {
  Mutex mutex;
  std::optional<std::string> folder GUARDED_BY(mutex);
};

Seam& seam() {
  static NoDestructor<Seam> instance;
  return *instance;
}

std::string executableFolder() {
  const std::optional<std::string> self = posix::executablePath();
  return self ? posix::folderOf(*self) : std::string();
}

bool holdsTools(const std::string& folder) {
  for (const MacOSTool& tool : kMacOSTools) {
    if (::access((folder + "/" + std::string(tool.toolName)).c_str(), X_OK) != 0) return false;
  }
  return true;
}

// The folder with its links followed. pkexec picks the polkit action whose exec.path equals the path
// it was given, so the helper must be named where the package installs it (/usr/libexec/proxyhost),
// not through the bundle's Contents/Helpers link.
std::string resolved(const std::string& folder) {
  char path[PATH_MAX];
  return ::realpath(folder.c_str(), path) != nullptr ? std::string(path) : folder;
}

}  // namespace

std::optional<std::string> toolFolder() {
  {
    Seam& s = seam();
    MutexLock lock(s.mutex);
    if (s.folder) return s.folder;
  }
  const std::string own = executableFolder();
  if (own.empty()) return std::nullopt;
  // <bundle>/Contents/MacOS/<executable> and its <bundle>/Contents/Helpers.
  if (const std::string helpers = own.substr(0, own.rfind('/')) + "/Helpers";
      own.ends_with("/Contents/MacOS") && holdsTools(helpers)) {
    return resolved(helpers);
  }
  if (holdsTools(own)) return own;
  return std::nullopt;
}

std::optional<std::string> toolFor(std::string_view macosPath) {
  for (const MacOSTool& tool : kMacOSTools) {
    if (tool.macosPath != macosPath) continue;
    auto folder = toolFolder();
    if (!folder) return std::nullopt;
    return *folder + "/" + std::string(tool.toolName);
  }
  return std::nullopt;
}

std::string defaultNetworkSetupStateFolder() {
  std::string home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) home = entry->pw_dir;
  if (home.empty()) home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "/";
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home + "/.local/state/proxyhost/networksetup";
}

std::optional<std::string> chosenNetworkSetupStateFolder() {
  const char* chosen = std::getenv(kNetworkSetupStateVariable);
  if (chosen == nullptr || *chosen == '\0') return std::nullopt;
  return std::string(chosen);
}

std::string networkSetupStateFolder() {
  return chosenNetworkSetupStateFolder().value_or(defaultNetworkSetupStateFolder());
}

void setToolFolderForTesting(std::optional<std::string> folder) {
  Seam& s = seam();
  MutexLock lock(s.mutex);
  s.folder = std::move(folder);
}

}  // namespace macos_tools
