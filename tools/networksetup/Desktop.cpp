#include "tools/networksetup/Desktop.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/posix/Files.h"
#include "platform/posix/UniqueFd.h"

namespace networksetup {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kDefaultBound{2000};

std::unique_ptr<DesktopBackend> makeBackend(const std::string& name) {
  if (name == "gsettings") return makeGSettingsBackend();
  return makeKdeBackend();
}

// How a backend's step ended, as its child reports it.
enum class StepOutcome : char {
  followed = 'f',     // the store carries the target; records as reported
  missing = 'm',      // no such store: nothing to carry, in step
  unreachable = 'u',  // not reachable now (no session bus): try again on a later run
  failed = 'x',       // the store is there and refused or could not be read
};

struct StepReport {
  StepOutcome outcome = StepOutcome::failed;
  std::string message;
  std::optional<SavedSettings> own;      // the user's own settings while ours is on
  std::optional<CarriedProxy> carried;   // what the store carries; nothing: the user's own
};

// Report: "<outcome><message>\n" then a state property list carrying the records under uid 0.
std::string encodeReport(const std::string& name, const StepReport& report) {
  std::string message = report.message;
  std::replace(message.begin(), message.end(), '\n', ' ');
  NetworkState carrier;
  if (report.own) carrier.desktopSaved[0][name] = *report.own;
  if (report.carried) carrier.desktopCarried[0][name] = *report.carried;
  return static_cast<char>(report.outcome) + message + "\n" + encodeStatePlist(carrier);
}

std::optional<StepReport> decodeReport(const std::string& name, const std::string& bytes) {
  const size_t end = bytes.find('\n');
  if (end == std::string::npos || end == 0) return std::nullopt;
  StepReport report;
  report.outcome = static_cast<StepOutcome>(bytes[0]);
  report.message = bytes.substr(1, end - 1);
  auto carrier = decodeStatePlist(std::string_view(bytes).substr(end + 1));
  if (!carrier) return std::nullopt;
  if (auto own = carrier->desktopSaved[0].find(name); own != carrier->desktopSaved[0].end()) report.own = own->second;
  if (auto carried = carrier->desktopCarried[0].find(name); carried != carrier->desktopCarried[0].end()) {
    report.carried = carried->second;
  }
  return report;
}

StepReport failed(std::string why) { return {StepOutcome::failed, std::move(why), std::nullopt, std::nullopt}; }

// The settings the user changed since the tool wrote `written`: those whose value (or absence) differs.
std::set<std::string> changedSince(const SavedSettings& written, const SavedSettings& now) {
  std::set<std::string> changed;
  for (const auto& [key, value] : now) {
    if (auto ours = written.find(key); ours == written.end() || ours->second != value) changed.insert(key);
  }
  for (const auto& [key, value] : written) {
    if (!now.contains(key)) changed.insert(key);
  }
  return changed;
}

// One backend's step, in the desktop user's process: the store moved to `target`, given what the
// records say it holds.
StepReport moveBackend(DesktopBackend& backend, const std::optional<DesktopProxy>& target,
                       const std::optional<SavedSettings>& own, const std::optional<CarriedProxy>& carried) {
  bool transient = false;
  if (auto why = backend.absent(&transient)) {
    return {transient ? StepOutcome::unreachable : StepOutcome::missing, *why, own, carried};
  }
  std::string error;
  std::optional<SavedSettings> mine = own;
  if (mine && carried) {
    // What the user changed since the tool last wrote is the user's own setting now, kept while ours
    // stays on and at off. Without a record of what was written (a state of an earlier version),
    // what was saved first stands.
    SavedSettings now;
    if (!backend.read(now, &error)) return failed("cannot read the settings: " + error);
    for (const auto& key : changedSince(carried->written, now)) {
      if (auto value = now.find(key); value != now.end()) {
        (*mine)[key] = value->second;
      } else {
        mine->erase(key);
      }
    }
  }
  if (target) {
    StepReport report{StepOutcome::followed, "", mine, CarriedProxy{describe(target), {}}};
    if (!report.own) {
      SavedSettings mine;
      if (!backend.read(mine, &error)) return failed("cannot read the user's own settings: " + error);
      report.own = std::move(mine);
    }
    if (!backend.write(*target, &error)) return failed(error);
    if (!backend.read(report.carried->written, &error)) return failed("cannot read back what was written: " + error);
    return report;
  }
  if (mine) {
    if (!backend.restore(*mine, &error)) return failed("cannot restore the user's own settings: " + error);
  }
  return {StepOutcome::followed, "", std::nullopt, std::nullopt};
}

// A backend's step running in its own process group.
struct Child {
  std::string name;
  pid_t pid = -1;
  posix::UniqueFd report;
  posix::UniqueFd process;  // readable once the child has exited
  std::string bytes;
  bool reported = false;    // the report pipe reached its end
  bool exited = false;
};

// Forks the step of `name`; the child reports on a pipe, holds no other descriptor of the run (the
// state lock above all) and dies with the run.
std::optional<Child> startStep(const std::string& name, const std::optional<DesktopProxy>& target,
                               const std::optional<SavedSettings>& own, const std::optional<CarriedProxy>& carried,
                               std::string* why) {
  std::optional<posix::Pipe> channel = posix::openPipe(posix::PipeBlocking::NonBlocking);
  if (!channel) {
    *why = std::string("pipe: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::fflush(nullptr);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    *why = std::string("fork: ") + std::strerror(errno);
    return std::nullopt;
  }
  if (child == 0) {
    ::setpgid(0, 0);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(1);
    if (::dup2(channel->write.get(), 3) != 3 || ::fcntl(3, F_SETFL, 0) != 0) ::_exit(1);
    ::syscall(SYS_close_range, 4, ~0U, 0);
    auto backend = makeBackend(name);
    const StepReport report = moveBackend(*backend, target, own, carried);
    const bool sent = posix::writeAll(3, encodeReport(name, report));
    ::close(3);
    if (report.outcome == StepOutcome::followed) backend->announce();
    ::_exit(sent ? 0 : 1);
  }
  ::setpgid(child, child);
  channel->write.reset();
  return Child{name, child, std::move(channel->read), posix::openProcessDescriptor(child), {}, false, false};
}

// Reads every child's report until every child has exited (a backend may still tell the desktop's
// applications after reporting) or `deadline` passes.
void collect(std::vector<Child>& children, Clock::time_point deadline) {
  char buffer[4096];
  auto drain = [&](Child& child) {
    for (;;) {
      const ssize_t n = ::read(child.report.get(), buffer, sizeof buffer);
      if (n > 0) {
        child.bytes.append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) child.reported = true;
      if (n == 0 || errno != EINTR) return;
    }
  };
  for (;;) {
    std::vector<pollfd> waiting;
    for (auto& child : children) {
      if (!child.reported) waiting.push_back({child.report.get(), POLLIN, 0});
      if (!child.exited && child.process.get() >= 0) waiting.push_back({child.process.get(), POLLIN, 0});
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (waiting.empty() || left <= 0) return;
    if (::poll(waiting.data(), waiting.size(), static_cast<int>(left)) < 0 && errno != EINTR) return;
    bool allExited = true;
    for (auto& child : children) {
      if (!child.reported) drain(child);
      if (!child.exited && child.process.get() >= 0) {
        pollfd ended{child.process.get(), POLLIN, 0};
        child.exited = ::poll(&ended, 1, 0) == 1;
      }
      // Without a pidfd the end of the report stands for the end of the child.
      allExited = allExited && (child.exited || (child.process.get() < 0 && child.reported));
    }
    if (allExited) {
      for (auto& child : children) {
        if (!child.reported) drain(child);  // what an exited child wrote is all in the pipe now
      }
      return;
    }
  }
}

}  // namespace

void noteInJournal(const std::string& line) {
  ::openlog("networksetup", LOG_PID, LOG_USER);
  ::syslog(LOG_NOTICE, "%s", line.c_str());
  ::closelog();
}

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
      if (auto uid = posix::parseUid(std::getenv(variable))) return *uid;
    }
  }
  return ::getuid();
}

std::chrono::milliseconds desktopBound() {
  const char* setting = std::getenv("NETWORKSETUP_DESKTOP_BOUND_MS");
  if (setting != nullptr && std::atoi(setting) > 0) return std::chrono::milliseconds(std::atoi(setting));
  return kDefaultBound;
}

DesktopRun convergeDesktop(const std::optional<DesktopProxy>& target, const std::vector<std::string>& backends,
                           uid_t user, NetworkState& state, std::chrono::milliseconds bound) {
  DesktopRun run;
  const std::string wanted = describe(target);
  auto& saved = state.desktopSaved[user];
  auto& carried = state.desktopCarried[user];
  const auto deadline = Clock::now() + bound;
  std::vector<Child> children;
  for (const auto& name : backends) {
    const auto own = saved.find(name);
    const auto carries = carried.find(name);
    const bool inStep = target ? carries != carried.end() && carries->second.proxy == wanted
                               : carries == carried.end() && own == saved.end();
    if (inStep) continue;
    std::string why;
    auto child = startStep(name, target, own == saved.end() ? std::nullopt : std::optional(own->second),
                           carries == carried.end() ? std::nullopt : std::optional(carries->second), &why);
    if (child) {
      children.push_back(std::move(*child));
    } else {
      run.failures.push_back(name + " failed: " + why);
    }
  }
  collect(children, deadline);
  for (auto& child : children) {
    // The whole group goes, also what the step left running; the leader is reaped after, so its
    // group id cannot have been given to another process yet.
    ::kill(-child.pid, SIGKILL);
    int status = 0;
    posix::retryOnInterrupt([&] { return ::waitpid(child.pid, &status, 0); });
    const bool whole = child.reported || child.exited;
    const auto report = whole ? decodeReport(child.name, child.bytes) : std::nullopt;
    if (!report) {
      run.failures.push_back(child.name + (whole ? " failed: its step ended without a report"
                                                       : " failed: no answer within " +
                                                             std::to_string(bound.count()) + " ms; tried again next run"));
      continue;
    }
    switch (report->outcome) {
      case StepOutcome::unreachable:
        noteInJournal(child.name + " skipped: " + report->message);
        continue;
      case StepOutcome::failed:
        run.failures.push_back(child.name + " failed: " + report->message);
        continue;
      case StepOutcome::missing:
        noteInJournal(child.name + " skipped: " + report->message);
        // Nothing there carries anything: in step with whatever the services say.
        if (target) {
          carried[child.name] = CarriedProxy{wanted, {}};
        } else {
          carried.erase(child.name);
          saved.erase(child.name);
        }
        break;
      case StepOutcome::followed:
        if (report->own) {
          saved[child.name] = *report->own;
        } else {
          saved.erase(child.name);
        }
        if (report->carried) {
          carried[child.name] = *report->carried;
        } else {
          carried.erase(child.name);
        }
        break;
    }
    run.changedRecords = true;
  }
  if (saved.empty()) state.desktopSaved.erase(user);
  if (carried.empty()) state.desktopCarried.erase(user);
  return run;
}

}  // namespace networksetup
