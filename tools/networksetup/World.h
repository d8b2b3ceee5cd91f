// Which world a networksetup run acts in, and what the environment chooses for it.
//
//   NETWORKSETUP_WORLD    "real" (the default): the machine's own devices as services, and the
//                         desktop of the user who asked follows the effective proxy.
//                         "simulated": a fixed set of services (Wi-Fi, Ethernet, Thunderbolt Bridge,
//                         Bluetooth PAN) and no desktop touched, for tests and the tour.
//   NETWORKSETUP_DESKTOP  the desktop backends of the real world (see chooseBackends).
#pragma once

#include <string>

#include "platform/posix/Expected.h"

namespace networksetup {

inline constexpr const char* kWorldVariable = "NETWORKSETUP_WORLD";
inline constexpr const char* kDesktopVariable = "NETWORKSETUP_DESKTOP";

enum class World { real, simulated };

// The world `setting` names (unset or empty: real); an error for another word.
inline posix::Expected<World> chooseWorld(const char* setting) {
  const std::string text = setting == nullptr ? "" : setting;
  if (text.empty() || text == "real") return World::real;
  if (text == "simulated") return World::simulated;
  return posix::Error(std::string(kWorldVariable) + " is \"" + text + "\"; it is real or simulated");
}

}  // namespace networksetup
