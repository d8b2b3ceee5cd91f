// How /bin/sh gets a command: as the argument of `-c` while it fits in one. Linux takes at most 32
// pages in one argument (MAX_ARG_STRLEN), so a longer command becomes a script the shell reads from
// a sealed memory file of this process (/proc/<pid>/fd/<n>, open as long as this object lives).
// Only the shell's name in its own messages differs: "/bin/sh: 1: ..." becomes that path's.
//
//   ShellCommand shell(command);
//   if (shell.arguments().empty()) fail(shell.startError());
//   argv = {"/bin/sh"} + shell.arguments();
#pragma once

#include <string>
#include <vector>

#include "platform/posix/UniqueFd.h"

class ShellCommand {
 public:
  explicit ShellCommand(const std::string& command);

  // What follows the shell's path on its command line; empty when the command cannot be handed over.
  const std::vector<std::string>& arguments() const { return arguments_; }
  const std::string& startError() const { return startError_; }

 private:
  // `command` in a sealed memory file read from its start.
  static posix::Expected<posix::UniqueFd> sealedFile(const std::string& command);

  posix::UniqueFd script_;
  std::vector<std::string> arguments_;
  std::string startError_;
};
