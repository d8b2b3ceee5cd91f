// networksetup: the macOS tool of that name for Linux, for the commands this product runs and the
// getters a person or a test needs to look. Its services and their proxy settings live in the folder
// named by NETWORKSETUP_STATE_DIR (macsim sets it), where every run is recorded in runs.log. In the
// real world (the default) the services are this machine's devices and the desktop of the user who
// asked follows the effective proxy; in the simulated world nothing outside the folder changes.
// docs/macsim.md describes both.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/networksetup/Commands.h"
#include "tools/networksetup/Desktop.h"
#include "tools/networksetup/DesktopProxy.h"
#include "tools/networksetup/NetworkDevices.h"
#include "tools/networksetup/StateFolder.h"
#include "tools/networksetup/World.h"

namespace {

int stateFolderFailure(const std::string& why) {
  std::fprintf(stderr, "networksetup: %s\n", why.c_str());
  return networksetup::exitStateFolderFailure;
}

// How many proxy states of listed, enabled services are on: fewer after a run means it switched off.
size_t proxyStatesOn(const networksetup::NetworkState& state) {
  size_t on = 0;
  for (const auto& service : state.services) {
    if (!service.present || !service.enabled) continue;
    on += service.webProxy.enabled + service.secureWebProxy.enabled + service.socksFirewallProxy.enabled;
  }
  return on;
}

void emit(std::FILE* stream, const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace networksetup;
  const std::vector<std::string> argvList(argv, argv + argc);
  std::string error;
  const auto world = chooseWorld(std::getenv(kWorldVariable), &error);
  if (!world) return stateFolderFailure(error);
  const auto backends = chooseBackends(std::getenv(kDesktopVariable), &error);
  if (!backends) return stateFolderFailure(error);
  // Root acts for the user who asked, for state and desktop alike: nothing below runs with root's
  // rights, so no root file is written and no link of that user's is followed as root.
  const uid_t user = desktopUser();
  if (user != ::geteuid() && !actAs(user, &error)) return stateFolderFailure(error);
  const char* chosenFolder = std::getenv("NETWORKSETUP_STATE_DIR");
  const bool chosen = chosenFolder != nullptr && *chosenFolder != '\0';
  auto folder = StateFolder::open(chosen ? chosenFolder : defaultStateFolder(), &error, !chosen);
  if (!folder) return stateFolderFailure(error);
  if (!folder->appendRun(argvList, &error)) return stateFolderFailure(error);
  // A slow tool, for tests of what overlaps a run: logged at once, in effect only after the delay.
  if (const char* delay = std::getenv("NETWORKSETUP_RUN_DELAY_MS"); delay != nullptr && std::atoi(delay) > 0) {
    ::usleep(static_cast<useconds_t>(std::atoi(delay)) * 1000);
  }
  const bool real = *world == World::real;
  auto state = folder->load(&error, real ? NetworkState{} : NetworkState::fresh());
  if (!state) return stateFolderFailure(error);
  const bool joined = real && joinDevices(*state, machineDevices());

  const std::vector<std::string> arguments(argvList.begin() + (argvList.empty() ? 0 : 1), argvList.end());
  const auto before = effectiveProxy(*state);
  const size_t onBefore = proxyStatesOn(*state);
  auto outcome = runCommand(arguments, *state);
  if (real && outcome.changedState) {
    if (auto problem = uncarriableSetting(arguments, *state)) {
      // Refused as a whole: neither the desktop nor the services change.
      emit(stdout, *problem + "\n** Error: The parameters were not valid.\n");
      return exitInvalidParameters;
    }
  }
  // Saved before the desktop is touched: a desktop that hangs or fails never costs the services' change.
  if ((outcome.changedState || joined) && !folder->save(*state, &error)) return stateFolderFailure(error);

  if (real) {
    auto target = effectiveProxy(*state);
    if (target) {
      if (auto problem = unrepresentable(*target)) {
        // Saved by an earlier version, or a service enabled again: the desktop cannot carry it, and an
        // "off" that made it the effective proxy must not fail, so the desktop shows the user's own.
        noteInJournal("the desktop shows the user's own settings: " + *problem);
        target.reset();
      }
    }
    const DesktopRun desktop = convergeDesktop(target, *backends, user, *state, desktopBound());
    if (desktop.changedRecords && !folder->save(*state, &error)) return stateFolderFailure(error);
    // A run that put a new proxy on fails when a desktop that is there refused it; a run that switched
    // something off, or changed nothing the desktop shows, has done its part, and the next run tries
    // the desktop again.
    const bool failedOn =
        target && target != before && proxyStatesOn(*state) >= onBefore && !desktop.failures.empty();
    for (const auto& failure : desktop.failures) {
      if (failedOn) {
        outcome.standardError += "networksetup: " + failure + "\n";
      } else {
        noteInJournal(failure);
      }
    }
    if (failedOn && outcome.status == exitSuccess) outcome.status = exitDesktopRefused;
  }

  emit(stdout, outcome.standardOutput);
  emit(stderr, outcome.standardError);
  return outcome.status;
}
