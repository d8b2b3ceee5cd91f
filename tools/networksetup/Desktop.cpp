#include "tools/networksetup/Desktop.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/UniqueFd.h"

namespace networksetup {

namespace {

// What failed in the run itself: standard error, which a failing script carries as its message.
void note(const std::string& line) {
  const std::string text = "networksetup: " + line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// A desktop that is not there is how the machine is, not a failure of the run: the journal keeps
// it, so standard error stays the command's own and a script's error names the real fault.
void noteSkipped(const std::string& name, const std::string& why) {
  ::openlog("networksetup", LOG_PID, LOG_USER);
  ::syslog(LOG_NOTICE, "%s skipped: %s", name.c_str(), why.c_str());
  ::closelog();
}

std::optional<uid_t> parseUid(const char* text) {
  if (text == nullptr || *text == '\0' || std::strlen(text) > 10) return std::nullopt;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
  }
  const unsigned long long value = std::strtoull(text, nullptr, 10);
  if (value >= static_cast<unsigned long long>(static_cast<uid_t>(-1))) return std::nullopt;
  return static_cast<uid_t>(value);
}

std::unique_ptr<DesktopBackend> makeBackend(const std::string& name) {
  if (name == "gsettings") return makeGSettingsBackend();
  return makeKdeBackend();
}

// The step itself, in the desktop user's process.
void moveDesktop(const std::optional<DesktopProxy>& target, const std::vector<std::string>& backends,
                 std::map<std::string, SavedSettings>& saved) {
  for (const auto& name : backends) {
    auto backend = makeBackend(name);
    if (auto why = backend->absent()) {
      noteSkipped(name, *why);
      continue;
    }
    std::string error;
    auto mine = saved.find(name);
    if (target) {
      if (mine == saved.end()) {
        SavedSettings own;
        if (!backend->read(own, &error)) {
          note(name + " skipped: cannot read the user's own settings: " + error);
          continue;
        }
        mine = saved.emplace(name, std::move(own)).first;
      }
      if (!backend->write(*target, &error)) note(name + " failed: " + error);
    } else if (mine != saved.end()) {
      if (backend->restore(mine->second, &error)) {
        saved.erase(mine);
      } else {
        note(name + " failed to restore the user's own settings: " + error);
      }
    }
  }
}

}  // namespace

std::optional<std::vector<std::string>> chooseBackends(const char* setting, std::string* error) {
  const std::string text = setting == nullptr ? "" : setting;
  if (text.empty() || text == "auto") return kDesktopBackendNames;
  if (text == "none") return std::vector<std::string>{};
  std::vector<std::string> chosen;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (std::find(kDesktopBackendNames.begin(), kDesktopBackendNames.end(), name) == kDesktopBackendNames.end()) {
      *error = "NETWORKSETUP_DESKTOP names an unknown desktop \"" + name +
               "\"; use auto, none, or a comma-separated list of gsettings and kde";
      return std::nullopt;
    }
    if (std::find(chosen.begin(), chosen.end(), name) == chosen.end()) chosen.push_back(name);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return chosen;
}

bool actAs(uid_t user, std::string* why) {
  const passwd* entry = ::getpwuid(user);
  if (entry == nullptr) {
    *why = "there is no user with uid " + std::to_string(user);
    return false;
  }
  const std::string home = entry->pw_dir != nullptr ? entry->pw_dir : "/";
  if (::initgroups(entry->pw_name, entry->pw_gid) != 0 || ::setresgid(entry->pw_gid, entry->pw_gid, entry->pw_gid) != 0 ||
      ::setresuid(user, user, user) != 0) {
    *why = std::string("cannot act as uid ") + std::to_string(user) + ": " + std::strerror(errno);
    return false;
  }
  const std::string runtime = "/run/user/" + std::to_string(user);
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("USER", entry->pw_name, 1);
  ::setenv("LOGNAME", entry->pw_name, 1);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtime + "/bus").c_str(), 1);
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
    ::unsetenv(variable);
  }
  // The working folder is a courtesy to what runs next: the home, else the root, else where it was.
  if (::chdir(home.c_str()) != 0 && ::chdir("/") != 0) return true;
  return true;
}

uid_t desktopUser() {
  if (::geteuid() == 0) {
    for (const char* variable : {"PKEXEC_UID", "SUDO_UID"}) {
      if (auto uid = parseUid(std::getenv(variable))) return *uid;
    }
  }
  return ::getuid();
}

void runDesktopStep(const std::optional<DesktopProxy>& target, const std::vector<std::string>& backends, uid_t user,
                    std::map<std::string, SavedSettings>& saved) {
  if (backends.empty()) return;
  std::optional<posix::Pipe> channel = posix::openPipe();
  if (!channel) {
    note(std::string("desktop skipped: pipe: ") + std::strerror(errno));
    return;
  }
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    note(std::string("desktop skipped: fork: ") + std::strerror(errno));
    return;
  }
  if (child == 0) {
    channel->read.reset();
    std::map<std::string, SavedSettings> mine = saved;
    moveDesktop(target, backends, mine);
    NetworkState carrier;
    carrier.desktopSaved[user] = std::move(mine);
    ::_exit(posix::writeAll(channel->write.get(), encodeStatePlist(carrier)) ? 0 : 1);
  }
  channel->write.reset();
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t n = posix::retryOnInterrupt([&] { return ::read(channel->read.get(), buffer, sizeof buffer); });
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  channel->read.reset();
  int status = 0;
  posix::retryOnInterrupt([&] { return ::waitpid(child, &status, 0); });
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return;  // the child said why, or died: keep what was saved
  auto carrier = decodeStatePlist(bytes);
  if (!carrier) return;
  saved = carrier->desktopSaved[user];
}

}  // namespace networksetup
