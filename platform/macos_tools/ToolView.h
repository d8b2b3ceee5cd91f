// The macOS tool view: a private mount namespace in which each path of the table in MacOSTools.h
// is the product's own tool. Nothing changes outside it, and it ends with its last process.
//
//   std::string error;
//   if (!macos_tools::toolViewInPlace(folder) && !macos_tools::enterToolView(folder, &error)) fail(error);
//   execv("/bin/sh", ...);   // the shell and all it starts see /usr/sbin/networksetup as ours
//
// Call it in a process of its own that then execs the command (the launchers and macsim do), never
// in a threaded process: a user namespace can only be entered by a single-threaded one.
#pragma once

#include <string>

#include "platform/posix/Expected.h"

namespace macos_tools {

// Whether every macOS path of the table already is the tool of `folder` (the same file): inside a
// view laid before (macsim's, say), there is nothing to do.
bool toolViewInPlace(const std::string& folder);

// Enters a private mount namespace, as root a plain one, otherwise inside an unprivileged user
// namespace where the kernel allows it (the process keeps its own ids), and lays the tools of
// `folder` over the macOS paths. When it cannot, the error says why in a person's words (which
// kernel knob refuses user namespaces, for one); the process may then be half inside and must not
// go on to run the command.
posix::Expected<void> enterToolView(const std::string& folder);

}  // namespace macos_tools
