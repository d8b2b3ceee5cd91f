// The shutdown cleanup as a whole: the time from SIGTERM to the host's exit with four enabled
// services (thirteen networksetup runs), and the time from a SIGKILL of a host with the proxies of
// those four services on to the guard's last state off, each against the same thirteen runs of
// the networksetup stand-in spawned one after the other by this process, measured in the same run.
//
//   shutdown_bench [RUNS]          (10 runs by default; needs build/bin/macsim)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/Median.h"
#include "platform/flutter/FlutterCodecs.h"
#include "platform/foundation/Subprocess.h"
#include "platform/macos_tools/NetworkSetupCommands.h"
#include "platform/posix/Files.h"
#include "platform/posix/UniqueFd.h"
#include "tools/proxyhostctl/LinkClient.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kBinDir = PROXYHOST_BIN_DIR;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The stand-in on `state`, both streams discarded, as the cleanup runs it.
void networksetup(const std::string& state, std::vector<std::string> args) {
  SubprocessOptions options;
  options.argv = {"/usr/bin/env", "NETWORKSETUP_WORLD=simulated", "NETWORKSETUP_STATE_DIR=" + state,
                  kBinDir + "/networksetup"};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.standardOutput = SubprocessStream::null;
  options.standardError = SubprocessStream::null;
  runSubprocess(options);
}

// Thirteen direct runs, as one cleanup over four services makes them.
double sequentialRuns(const std::string& state, const std::vector<std::string>& services) {
  std::string tool = kBinDir + "/networksetup";
  setenv("NETWORKSETUP_STATE_DIR", state.c_str(), 1);
  setenv("NETWORKSETUP_WORLD", "simulated", 1);
  auto start = Clock::now();
  auto run = [&](std::vector<std::string> args) {
    SubprocessOptions options;
    options.argv = {tool};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.standardError = SubprocessStream::null;
    options.standardOutput =
        args[0] == networksetup_commands::kListAllNetworkServices ? SubprocessStream::pipe : SubprocessStream::null;
    runSubprocess(options);
  };
  run({std::string(networksetup_commands::kListAllNetworkServices)});
  for (const auto& s : services) {
    for (std::string_view setting : networksetup_commands::kProxyStateSettings) run({std::string(setting), s, "off"});
  }
  double ms = msSince(start);
  unsetenv("NETWORKSETUP_STATE_DIR");
  unsetenv("NETWORKSETUP_WORLD");
  return ms;
}

// The host under macsim with its link connected and its launching finished; pid 0 on failure.
struct StartedHost {
  pid_t pid = 0;
  std::unique_ptr<enginelink::LinkClient> client;
};

StartedHost startArmedHost(const std::string& dir, const std::string& state) {
  std::string socket = dir + "/engine.sock";
  std::filesystem::remove(socket);
  pid_t pid = fork();
  if (pid == 0) {
    setenv("PROXYHOST_ENGINE_SOCKET", socket.c_str(), 1);
    setenv("XDG_STATE_HOME", (dir + "/xdg-state").c_str(), 1);
    setenv("PROXYHOST_AUTHORIZATION", "approve", 1);
    if (freopen("/dev/null", "w", stderr) == nullptr) _exit(127);
    std::string macsim = kBinDir + "/macsim", host = kBinDir + "/proxyhost";
    execl(macsim.c_str(), macsim.c_str(), "--simulated", "--state", state.c_str(), "--", host.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return {};
  StartedHost started{pid, nullptr};
  auto deadline = Clock::now() + 10s;
  while (!started.client && Clock::now() < deadline) {
    started.client = enginelink::LinkClient::connect(socket, 2s).ok().value_or(nullptr);
    if (!started.client) std::this_thread::sleep_for(2ms);
  }
  // The link is served before launching ends; a channel's answer comes from the application
  // loop, which runs only after it: from then on the host is armed.
  auto call = StandardMethodCodec::getInstance().encodeMethodCall({"launchAtStartupIsEnabled", EncodableValue()});
  if (!started.client || !started.client->call("launch_at_startup", call, 10s)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return {};
  }
  return started;
}

// Milliseconds from SIGTERM to the host's exit, or a negative value on any failure.
double sigtermToExit(const std::string& dir, const std::string& state) {
  StartedHost host = startArmedHost(dir, state);
  if (host.pid == 0) return -1;
  auto start = Clock::now();
  kill(host.pid, SIGTERM);
  int status = 0;
  waitpid(host.pid, &status, 0);
  double ms = msSince(start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

size_t runLogLines(const std::string& state) {
  std::ifstream in(state + "/runs.log");
  return static_cast<size_t>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

// Milliseconds from a SIGKILL of a host with the proxies of `services` on to the guard's last
// off run, or a negative value on any failure.
double killToLastOff(const std::string& dir, const std::string& state, const std::vector<std::string>& services) {
  StartedHost host = startArmedHost(dir, state);
  if (host.pid == 0) return -1;
  EncodableList names;
  for (const auto& s : services) names.emplace_back(s);
  auto call = StandardMethodCodec::getInstance().encodeMethodCall(
      {"setProxyElevated", EncodableValue(EncodableMap{{"services", names},
                                                       {"host", "127.0.0.1"},
                                                       {"port", int32_t{7890}},
                                                       {"socks", int32_t{7891}},
                                                       {"bypass", EncodableList{}}})});
  if (!host.client->call("net.proxyhost.client/privileged_proxy", call, 30s)) {
    kill(host.pid, SIGKILL);
    waitpid(host.pid, nullptr, 0);
    return -1;
  }
  const size_t before = runLogLines(state);
  auto start = Clock::now();
  kill(host.pid, SIGKILL);
  waitpid(host.pid, nullptr, 0);
  // The guard's cleanup is thirteen runs; the last one ends its work.
  const size_t expected = before + 1 + 3 * services.size();
  while (runLogLines(state) < expected) {
    if (Clock::now() - start > 30s) return -1;
    std::this_thread::sleep_for(200us);
  }
  // A run logs itself as it starts and holds the state lock to its end: taking the lock waits
  // for the last off to be in effect.
  [[maybe_unused]] const auto lock = posix::lockFile(state + "/state.lock", O_RDWR);
  return msSince(start);
}
}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  std::string dir = std::filesystem::temp_directory_path() / ("shutdown_bench." + std::to_string(getpid()));
  std::string state = dir + "/state";
  std::filesystem::create_directories(state);
  networksetup(state, {"-createnetworkservice", "Office LAN", "Ethernet"});
  const std::vector<std::string> services = {"Wi-Fi", "Ethernet", "Thunderbolt Bridge", "Office LAN"};

  std::vector<double> host, guard, direct;
  for (int i = 0; i < runs; ++i) {
    double h = sigtermToExit(dir, state);
    double g = killToLastOff(dir, state, services);
    if (h < 0 || g < 0) {
      std::fprintf(stderr, "run %d: the host did not start, did not exit 0, or its guard did not clean up\n", i);
      std::filesystem::remove_all(dir);
      return 1;
    }
    host.push_back(h);
    guard.push_back(g);
    direct.push_back(sequentialRuns(state, services));
  }
  std::filesystem::remove_all(dir);
  double h = median(host), g = median(guard), d = median(direct);
  std::printf("shutdown_bench: %d runs, 4 services, 13 networksetup runs per cleanup\n", runs);
  std::printf("  SIGTERM to exit (median):             %8.2f ms\n", h);
  std::printf("  SIGKILL to the guard's last off:      %8.2f ms\n", g);
  std::printf("  13 sequential stand-in runs (median): %8.2f ms\n", d);
  std::printf("  ratio SIGTERM: %.2fx (aim: at most 1.2x)\n", h / d);
  std::printf("  ratio SIGKILL with the guard: %.2fx\n", g / d);
  return 0;
}
