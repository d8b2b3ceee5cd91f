// networksetup: the macOS tool of that name for Linux, for the commands this product runs and the
// getters a person or a test needs to look. Its services and their proxy settings live in the folder
// named by NETWORKSETUP_STATE_DIR (macsim sets it), where every run is recorded in runs.log. In the
// real world (the default) the services are this machine's devices and the desktop of the user who
// asked follows the effective proxy; in the simulated world nothing outside the folder changes.
// docs/macsim.md describes both; Run.h is the run itself.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/networksetup/Run.h"

namespace {

void emit(std::FILE* stream, const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
  const auto outcome = networksetup::runNetworksetup(std::vector<std::string>(argv, argv + argc));
  emit(stdout, outcome.standardOutput);
  emit(stderr, outcome.standardError);
  return outcome.status;
}
