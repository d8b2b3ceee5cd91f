// networksetup: a stand-in for the macOS tool of that name, for the commands this product runs and the
// getters a person or a test needs to look. It never touches the machine's network settings: its
// services live in the folder named by NETWORKSETUP_STATE_DIR (macsim sets it), and every run is
// recorded there in runs.log. docs/macsim.md describes the folder.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/networksetup/Commands.h"
#include "tools/networksetup/StateFolder.h"

namespace {

int stateFolderFailure(const std::string& why) {
  std::fprintf(stderr, "networksetup: %s\n", why.c_str());
  return networksetup::kExitStateFolderFailure;
}

void emit(std::FILE* stream, const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> argvList(argv, argv + argc);
  const char* folderPath = std::getenv("NETWORKSETUP_STATE_DIR");
  if (folderPath == nullptr || *folderPath == '\0') {
    return stateFolderFailure(
        "NETWORKSETUP_STATE_DIR is not set. This stand-in of the macOS tool keeps its network services in that "
        "folder and never changes this machine's settings; run the command under macsim, or set the variable to "
        "a folder of your own.");
  }

  std::string error;
  auto folder = networksetup::StateFolder::open(folderPath, &error);
  if (!folder) return stateFolderFailure(error);
  if (!folder->appendRun(argvList, &error)) return stateFolderFailure(error);
  auto state = folder->load(&error);
  if (!state) return stateFolderFailure(error);

  const std::vector<std::string> arguments(argvList.begin() + (argvList.empty() ? 0 : 1), argvList.end());
  auto outcome = networksetup::runCommand(arguments, *state);
  if (outcome.changedState && !folder->save(*state, &error)) return stateFolderFailure(error);

  emit(stdout, outcome.standardOutput);
  emit(stderr, outcome.standardError);
  return outcome.status;
}
