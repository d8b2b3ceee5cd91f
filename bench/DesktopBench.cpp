// The host's enable script for three services end to end (bash running its 21 networksetup runs
// under macsim), in the simulated world against the real world with its desktop backends on a private
// session bus with dconf and a KDE configuration, measured in the same run. The real world is also
// run with NETWORKSETUP_DESKTOP=none, so the desktop step's share is the difference.
//
//   desktop_bench [RUNS]          (10 runs by default; root, as macsim without a user namespace)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/Median.h"
#include "platform/foundation/Subprocess.h"
#include "proxy/ProxyScriptBuilder.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kBinDir = PROXYHOST_BIN_DIR;
const std::vector<std::string> kServices = {"Bench A", "Bench B", "Bench C"};

// The host's own scripts, as its administrator runs hand them to bash.
std::string enableScript() {
  return proxy::buildEnableProxyScript(kServices, "127.0.0.1", 7890, 7891, {"localhost", "*.local"});
}

std::string disableScript() { return proxy::buildDisableProxyScript(kServices); }

bool run(const std::vector<std::string>& argv) {
  SubprocessOptions options;
  options.argv = argv;
  options.standardOutput = SubprocessStream::null;
  const SubprocessResult result = runSubprocess(options);
  if (result.exitStatus != 0)
    std::fprintf(stderr, "%s failed: %s\n", argv.back().c_str(), result.standardError.c_str());
  return result.exitStatus == 0;
}

std::vector<std::string> underMacsim(bool simulated, const std::string& state, std::vector<std::string> command) {
  std::vector<std::string> argv = {kBinDir + "/macsim"};
  if (simulated) argv.push_back("--simulated");
  argv.insert(argv.end(), {"--state", state, "--"});
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

// Median milliseconds of one enable script (each followed by an untimed disable) in a fresh state folder.
double enableMs(const std::string& folder, bool simulated, const char* desktop, int runs) {
  setenv("NETWORKSETUP_DESKTOP", desktop, 1);
  std::filesystem::remove_all(folder);
  for (const auto& service : kServices) {
    run(underMacsim(simulated, folder, {"/usr/sbin/networksetup", "-createnetworkservice", service, "Ethernet"}));
  }
  const std::string enable = enableScript();
  const std::string disable = disableScript();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    if (!run(underMacsim(simulated, folder, {"/bin/bash", "-c", enable}))) return -1;
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    run(underMacsim(simulated, folder, {"/bin/bash", "-c", disable}));
  }
  return median(times);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const std::string dir = std::filesystem::temp_directory_path() / ("desktop_bench." + std::to_string(getpid()));
  const std::string home = dir + "/home";
  std::filesystem::create_directories(home + "/.config");
  std::filesystem::create_directories(dir + "/runtime");
  std::ofstream(home + "/.config/kdeglobals") << "[General]\n";
  // A private desktop session: nothing of this machine's own settings is touched.
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (dir + "/runtime").c_str(), 1);
  setenv("GSETTINGS_BACKEND", "dconf", 1);
  unsetenv("PKEXEC_UID");
  unsetenv("SUDO_UID");
  const std::string bus = "unix:path=" + dir + "/runtime/bus";
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
  const pid_t daemon = fork();
  if (daemon == 0) {
    execl("/usr/bin/dbus-daemon", "dbus-daemon", "--session", "--nofork", ("--address=" + bus).c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500 && !std::filesystem::exists(dir + "/runtime/bus"); ++i) usleep(10000);

  const double simulated = enableMs(dir + "/simulated", true, "none", runs);
  const double realBare = enableMs(dir + "/real-bare", false, "none", runs);
  const double real = enableMs(dir + "/real", false, "auto", runs);
  kill(daemon, SIGTERM);
  waitpid(daemon, nullptr, 0);
  std::filesystem::remove_all(dir);
  if (simulated < 0 || realBare < 0 || real < 0) return 1;

  std::printf("one enable of %zu services (21 networksetup runs), median of %d:\n", kServices.size(), runs);
  std::printf("  simulated world                 %8.1f ms\n", simulated);
  std::printf("  real world, no desktop backend  %8.1f ms\n", realBare);
  std::printf("  real world, gsettings + kde     %8.1f ms\n", real);
  std::printf("  ratio real / simulated          %8.2f\n", real / simulated);
  std::printf("  share in the desktop step       %8.1f %%\n", 100.0 * (real - realBare) / real);
  return 0;
}
