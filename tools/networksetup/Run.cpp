#include "tools/networksetup/Run.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "platform/macos_tools/MacOSTools.h"
#include "platform/macos_tools/NetworkSetupCommands.h"
#include "platform/posix/User.h"
#include "tools/networksetup/ActingUser.h"
#include "tools/networksetup/Desktop.h"
#include "tools/networksetup/DesktopProxy.h"
#include "tools/networksetup/NetworkDevices.h"
#include "tools/networksetup/StateFolder.h"
#include "tools/networksetup/World.h"

namespace networksetup {

namespace {

CommandOutcome stateFolderFailure(const std::string& why) {
  return {exitStateFolderFailure, "", "networksetup: " + why + "\n", false};
}

// How many proxy states of listed, enabled services are on: fewer after a run means it switched off.
size_t proxyStatesOn(const NetworkState& state) {
  size_t on = 0;
  for (const auto& service : state.services) {
    if (!service.present || !service.enabled) continue;
    on += service.webProxy.enabled + service.secureWebProxy.enabled + service.socksFirewallProxy.enabled;
  }
  return on;
}

// Whether `arguments` switch a proxy state off: a cleanup's run, which must learn whether the desktop
// followed although it succeeds either way.
bool switchesOff(const std::vector<std::string>& arguments) {
  const auto& states = networksetup_commands::kProxyStateSettings;
  return arguments.size() == 3 && arguments[2] == "off" &&
         std::find(states.begin(), states.end(), arguments[0]) != states.end();
}

}  // namespace

CommandOutcome runNetworksetup(const std::vector<std::string>& argv) {
  const auto world = chooseWorld(std::getenv(kWorldVariable));
  if (!world) return stateFolderFailure(world.error().message());
  const auto backends = chooseBackends(std::getenv(kDesktopVariable));
  if (!backends) return stateFolderFailure(backends.error().message());
  // Root acts for the user who asked, for state and desktop alike: nothing below runs with root's
  // rights, so no root file is written and no link of that user's is followed as root.
  const uid_t user = desktopUser();
  if (user != ::geteuid()) {
    if (auto became = posix::becomeUser(user); !became) return stateFolderFailure(became.error().message());
  }
  const std::optional<std::string> chosen = macos_tools::chosenNetworkSetupStateFolder();
  const std::string folderPath = chosen.value_or(macos_tools::defaultNetworkSetupStateFolder());
  const bool repair = argv.size() == 2 && argv[1] == networksetup_commands::kRepairDesktop;
  std::error_code unknown;
  // A user the tool never acted for has no desktop of ours to repair, and gets no state folder.
  if (repair && !std::filesystem::exists(folderPath, unknown)) return {};
  auto folder = StateFolder::open(folderPath, !chosen.has_value());
  if (!folder) return stateFolderFailure(folder.error().message());
  if (!repair) {
    if (auto logged = folder->appendRun(argv); !logged) return stateFolderFailure(logged.error().message());
  }
  // A slow tool, for tests of what overlaps a run: logged at once, in effect only after the delay.
  if (const char* delay = std::getenv("NETWORKSETUP_RUN_DELAY_MS"); delay != nullptr && std::atoi(delay) > 0) {
    ::usleep(static_cast<useconds_t>(std::atoi(delay)) * 1000);
  }
  const bool real = *world == World::real;
  auto state = folder->load(real ? NetworkState{} : NetworkState::fresh());
  if (!state) return stateFolderFailure(state.error().message());
  const bool joined = real && joinDevices(*state, machineDevices());

  const std::vector<std::string> arguments(argv.begin() + (argv.empty() ? 0 : 1), argv.end());
  const auto before = effectiveProxy(*state);
  const size_t onBefore = proxyStatesOn(*state);
  auto outcome = repair ? CommandOutcome{} : runCommand(arguments, *state);
  if (real && outcome.changedState) {
    if (auto carriable = carriableSetting(arguments, *state); !carriable) {
      // Refused as a whole: neither the desktop nor the services change.
      return {exitInvalidParameters, carriable.error().message() + "\n** Error: The parameters were not valid.\n", "",
              false};
    }
  }
  // Saved before the desktop is touched: a desktop that hangs or fails never costs the services' change.
  if (outcome.changedState || joined) {
    if (auto saved = folder->save(*state); !saved) return stateFolderFailure(saved.error().message());
  }

  if (real) {
    auto target = effectiveProxy(*state);
    if (target) {
      if (auto fits = representable(*target); !fits) {
        // Saved by an earlier version, or a service enabled again: the desktop cannot carry it, and an
        // "off" that made it the effective proxy must not fail, so the desktop shows the user's own.
        noteInJournal("the desktop shows the user's own settings: " + fits.error().message());
        target.reset();
      }
    }
    const DesktopRun desktop = convergeDesktop(target, *backends, user, *state, desktopBound());
    if (desktop.changedRecords) {
      if (auto saved = folder->save(*state); !saved) return stateFolderFailure(saved.error().message());
    }
    // A run that put a new proxy on fails when a desktop that is there refused it; a run that switched
    // something off, or changed nothing the desktop shows, has done its part, and the next run tries
    // the desktop again.
    const bool failedOn = target && target != before && proxyStatesOn(*state) >= onBefore && !desktop.failures.empty();
    for (const auto& failure : desktop.failures) {
      if (failedOn) {
        outcome.standardError += "networksetup: " + failure + "\n";
      } else {
        noteInJournal(failure);
      }
    }
    if (failedOn && outcome.status == exitSuccess) outcome.status = exitDesktopRefused;
    if (!failedOn && outcome.status == exitSuccess && (switchesOff(arguments) || repair) && !desktop.behind.empty()) {
      std::string behind;
      for (const auto& line : desktop.behind) behind += (behind.empty() ? "" : "; ") + line;
      outcome.standardError += std::string(networksetup_commands::kDesktopBehind) + behind + "\n";
    }
  }
  return outcome;
}

}  // namespace networksetup
