// The macOS command-line tools the product runs by their macOS paths, and where this installation
// keeps its own tools that stand for them on Linux.
//
// The product's commands name /usr/sbin/networksetup and /usr/bin/base64 exactly as on the Mac. Its
// own children see those paths as the product's tools: NSTask maps a launch path through this table,
// and shell commands run in the view of ToolView.h, where the paths are bound to the tools.
//
// The tool folder is the bundle's Contents/Helpers (a link to build/bin in a build tree, to
// /usr/libexec/proxyhost when installed), found from the running executable, or the folder of the
// executable itself for the tools that live there. Thread-safe.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "platform/macos_tools/NetworkSetupCommands.h"

namespace macos_tools {

struct MacOSTool {
  std::string_view macosPath;  // where the command names it
  std::string_view toolName;   // the product's tool of that name in the tool folder
};

inline constexpr std::array<MacOSTool, 2> kMacOSTools{{
    {networksetup_commands::kPath, "networksetup"},
    {"/usr/bin/base64", "base64"},
}};

// The product's launchers in the tool folder: a /bin/sh in the tool view for the user, and the
// privileged helper that pkexec starts for administrator runs.
inline constexpr std::string_view kShellLauncherName = "proxyhost-shell";
inline constexpr std::string_view kAdministratorHelperName = "proxyhost-admin";

// The tool folder of this installation: the seam's folder when set, else the Contents/Helpers
// folder of the bundle the running executable belongs to, with its link followed (installed:
// /usr/libexec/proxyhost, the path the polkit action names), else the executable's own folder when
// it holds the tools (the launchers themselves live there). Nothing when none holds them.
std::optional<std::string> toolFolder();

// `macosPath`'s stand-in in the tool folder, or nothing when the path is not in the table or the
// folder is unknown.
std::optional<std::string> toolFor(std::string_view macosPath);

// Where networksetup (the product's own) keeps the state of the user it runs for: the folder that
// NETWORKSETUP_STATE_DIR names, else <home>/.local/state/proxyhost/networksetup, with the home of
// the password database (HOME only for a user it lacks). Every run for one user, root's
// administrator runs acting for that user and the user's own runs alike, must find one state, and a
// root run cannot know the user's XDG_STATE_HOME, so it is not consulted. The state is the file
// kNetworkSetupStateFile there, replaced by a rename at each change; an interface watches for it.
inline constexpr const char* kNetworkSetupStateVariable = "NETWORKSETUP_STATE_DIR";
inline constexpr const char* kNetworkSetupStateFile = "state.plist";
std::string defaultNetworkSetupStateFolder();
// The folder the variable names, when it is set and not empty.
std::optional<std::string> chosenNetworkSetupStateFolder();
// The chosen folder, else the default one.
std::string networkSetupStateFolder();

// Tests and benches whose executables sit outside a bundle name the folder; nullopt puts the
// lookup back.
void setToolFolderForTesting(std::optional<std::string> folder);

}  // namespace macos_tools
