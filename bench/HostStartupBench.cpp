// Start-up of the host as a whole process: the time from exec to the hello on its engine link,
// over several runs, against a bare exec of /bin/true as the baseline measured in the same run.
//
//   host_startup_bench [RUNS]          (20 runs by default)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/Median.h"
#include "tools/proxyhostctl/LinkClient.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

pid_t spawn(const std::string& path, const std::vector<std::string>& env) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) envStrings.emplace_back(*e);
  envStrings.insert(envStrings.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string arg0 = path;
  char* argv[] = {arg0.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Milliseconds from exec to the hello, or a negative value when the host never greeted.
double timeToHello(const std::string& host, const std::string& socket) {
  std::filesystem::remove(socket);
  auto start = Clock::now();
  pid_t pid = spawn(host, {"PROXYHOST_ENGINE_SOCKET=" + socket});
  if (pid < 0) return -1;
  double ms = -1;
  while (Clock::now() - start < 10s) {
    if (auto client = enginelink::LinkClient::connect(socket, 5s)) {
      ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      break;
    }
    std::this_thread::sleep_for(100us);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return ms;
}

double timeBareExec() {
  auto start = Clock::now();
  pid_t pid = spawn("/bin/true", {});
  waitpid(pid, nullptr, 0);
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  std::string host = PROXYHOST_BIN;
  std::string socket =
      (std::filesystem::temp_directory_path() / ("startup-bench-" + std::to_string(getpid()) + ".sock")).string();
  std::vector<double> hello, bare;
  for (int i = 0; i < runs; ++i) {
    double ms = timeToHello(host, socket);
    if (ms < 0) {
      std::fprintf(stderr, "the host at %s never said hello\n", host.c_str());
      return 1;
    }
    hello.push_back(ms);
    bare.push_back(timeBareExec());
  }
  std::filesystem::remove(socket);
  double h = median(hello), b = median(bare);
  std::printf("exec to hello: median %.2f ms, min %.2f ms, max %.2f ms over %d runs\n", h,
              *std::min_element(hello.begin(), hello.end()), *std::max_element(hello.begin(), hello.end()), runs);
  std::printf("bare exec of /bin/true: median %.2f ms; ratio %.1fx\n", b, h / b);
  return 0;
}
