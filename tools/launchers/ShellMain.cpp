// proxyhost-shell ARG ...: /bin/sh ARG ... in the macOS tool view, with the rights of whoever runs
// it. The scripting stand-in starts every shell command of the product through it, so the
// commands' /usr/sbin/networksetup and /usr/bin/base64 are the product's tools (MacOSTools.h).
// It becomes the shell (exec), so the shell keeps its process id, status and signals.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/macos_tools/MacOSTools.h"
#include "platform/macos_tools/ToolView.h"

int main(int argc, char** argv) {
  const std::optional<std::string> folder = macos_tools::toolFolder();
  if (!folder) {
    std::fputs("proxyhost: the macOS tools are not installed beside proxyhost-shell\n", stderr);
    return 126;
  }
  if (!macos_tools::toolViewInPlace(*folder)) {
    if (auto entered = macos_tools::enterToolView(*folder); !entered) {
      std::fprintf(stderr, "proxyhost: the shell command cannot see the macOS tools: %s\n",
                   entered.error().message().c_str());
      return 126;
    }
  }
  std::vector<char*> shell{const_cast<char*>("/bin/sh")};
  for (int i = 1; i < argc; ++i) shell.push_back(argv[i]);
  shell.push_back(nullptr);
  ::execv(shell[0], shell.data());
  std::perror("proxyhost: /bin/sh");
  return 127;
}
