#include "tools/networksetup/Desktop.h"

#include <cstdlib>
#include <optional>
#include <set>

#include "tools/networksetup/DesktopStep.h"

namespace networksetup {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kDefaultBound{2000};

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

// A store that answered a write but does not hold it (a full disk, a database it cannot replace)
// has not followed: what it holds, named by setting, against what was written.
posix::Expected<void> kept(const SavedSettings& intended, const SavedSettings& held) {
  if (held == intended) return {};
  std::string differences;
  for (const auto& key : changedSince(intended, held)) {
    const auto value = held.find(key);
    differences += (differences.empty() ? "" : ", ") + key + " is " + (value == held.end() ? "unset" : value->second);
  }
  return posix::Error("the store did not keep the change (" + differences + ")");
}

// One backend's step, in the desktop user's process: the store moved to `target`, given what the
// records say it holds.
StepReport moveBackend(DesktopBackend& backend, const std::optional<DesktopProxy>& target,
                       const std::optional<SavedSettings>& own, const std::optional<CarriedProxy>& carried) {
  bool transient = false;
  if (auto present = backend.present(&transient); !present) {
    return {transient ? StepOutcome::unreachable : StepOutcome::missing, present.error().message(), own, carried};
  }
  std::optional<SavedSettings> mine = own;
  if (mine && carried) {
    // What the user changed since the tool last wrote is the user's own setting now, kept while ours
    // stays on and at off. Without a record of what was written (a state of an earlier version),
    // what was saved first stands.
    const posix::Expected<SavedSettings> now = backend.read();
    if (!now) return failed("cannot read the settings: " + now.error().message());
    for (const auto& key : changedSince(carried->written, *now)) {
      if (auto value = now->find(key); value != now->end()) {
        (*mine)[key] = value->second;
      } else {
        mine->erase(key);
      }
    }
  }
  if (target) {
    StepReport report{StepOutcome::followed, "", mine, CarriedProxy{describe(target), {}}};
    if (!report.own) {
      posix::Expected<SavedSettings> theirs = backend.read();
      if (!theirs) return failed("cannot read the user's own settings: " + theirs.error().message());
      report.own = std::move(*theirs);
    }
    const posix::Expected<SavedSettings> intended = backend.write(*target);
    if (!intended) return failed(intended.error().message());
    posix::Expected<SavedSettings> written = backend.read();
    if (!written) return failed("cannot read back what was written: " + written.error().message());
    report.carried->written = std::move(*written);
    if (auto held = kept(*intended, report.carried->written); !held) return failed(held.error().message());
    return report;
  }
  if (mine) {
    if (auto put = backend.restore(*mine); !put) {
      return failed("cannot restore the user's own settings: " + put.error().message());
    }
    const posix::Expected<SavedSettings> restored = backend.read();
    if (!restored) return failed("cannot read back the user's own settings: " + restored.error().message());
    if (auto held = kept(*mine, *restored); !held) {
      return failed("the user's own settings are not back: " + held.error().message());
    }
  }
  return {StepOutcome::followed, "", std::nullopt, std::nullopt};
}

}  // namespace

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
  std::vector<StepChild> children;
  for (const auto& name : backends) {
    const auto own = saved.find(name);
    const auto carries = carried.find(name);
    const bool inStep = target ? carries != carried.end() && carries->second.proxy == wanted
                               : carries == carried.end() && own == saved.end();
    if (inStep) continue;
    const std::optional<SavedSettings> ownSettings = own == saved.end() ? std::nullopt : std::optional(own->second);
    const std::optional<CarriedProxy> carriedProxy =
        carries == carried.end() ? std::nullopt : std::optional(carries->second);
    std::unique_ptr<DesktopBackend> backend;  // made in the step's own process
    auto child = startStep(
        name,
        [&] {
          backend = makeBackend(name);
          return moveBackend(*backend, target, ownSettings, carriedProxy);
        },
        [&](const StepReport& report) {
          if (report.outcome == StepOutcome::followed) backend->announce();
        });
    if (child) {
      children.push_back(std::move(*child));
    } else {
      run.failures.push_back(name + " failed: " + child.error().message());
    }
  }
  collectSteps(children, deadline);
  for (auto& child : children) {
    const auto report = finishStep(child, bound);
    if (!report) {
      run.failures.push_back(child.name + " failed: " + report.error().message());
      continue;
    }
    switch (report->outcome) {
      case StepOutcome::unreachable:
        noteInJournal(child.name + " skipped: " + report->message);
        run.behind.push_back(child.name + " skipped: " + report->message);
        continue;
      case StepOutcome::failed: run.failures.push_back(child.name + " failed: " + report->message); continue;
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
  run.behind.insert(run.behind.begin(), run.failures.begin(), run.failures.end());
  return run;
}

}  // namespace networksetup
