#include "tests/system/ProcessSweep.h"

#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>

namespace system_testing {

namespace {

struct ProcessEntry {
  pid_t pid = 0;
  pid_t parent = 0;
  uid_t realUid = 0;
  std::string mountNamespace;
};

std::string contentOf(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A decimal number at the start of `text` after blanks; nothing when there is none (a file cut
// short because its process ended as it was read).
template <typename Int>
std::optional<Int> leadingNumber(std::string_view text) {
  const size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return std::nullopt;
  Int value{};
  auto [end, ec] = std::from_chars(text.data() + start, text.data() + text.size(), value);
  if (ec != std::errc()) return std::nullopt;
  return value;
}

// Every live process that /proc shows; zombies and those that end meanwhile are left out. A
// process may end at any point of its reading: every file is taken as it comes, never trusted
// to be whole.
std::vector<ProcessEntry> liveProcesses() {
  std::vector<ProcessEntry> result;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return result;
  while (dirent* entry = readdir(proc)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    ProcessEntry process;
    const auto pid = leadingNumber<pid_t>(name);
    if (!pid) continue;
    process.pid = *pid;
    // The command name may hold spaces and parentheses; the fields after its last ')' do not.
    const std::string stat = contentOf("/proc/" + name + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = '?';
    if (!(std::istringstream(stat.substr(close + 1)) >> state >> process.parent)) continue;
    if (state == 'Z' || state == 'X') continue;
    std::istringstream status(contentOf("/proc/" + name + "/status"));
    bool hasUid = false;
    for (std::string line; !hasUid && std::getline(status, line);) {
      if (line.starts_with("Uid:")) {
        const auto uid = leadingNumber<uid_t>(std::string_view(line).substr(4));
        if (!uid) break;
        process.realUid = *uid;
        hasUid = true;
      }
    }
    if (!hasUid) continue;
    process.mountNamespace = mountNamespaceOf(process.pid);
    result.push_back(process);
  }
  closedir(proc);
  return result;
}

}  // namespace

std::string mountNamespaceOf(pid_t pid) {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/ns/mnt",
                                       error)
      .string();
}

bool uidRunsProcesses(uid_t uid) {
  const auto all = liveProcesses();
  return std::any_of(all.begin(), all.end(), [&](const ProcessEntry& process) { return process.realUid == uid; });
}

std::vector<pid_t> worldProcesses(const WorldMarks& marks, pid_t except) {
  const std::vector<ProcessEntry> all = liveProcesses();
  std::set<pid_t> world;
  // The caller is left out before its children are counted: a child of the test's own from before
  // the world began is not the world's.
  for (const auto& process : all) {
    if (process.pid == except) continue;
    if ((marks.user != 0 && process.realUid == marks.user) ||
        (!marks.mountNamespace.empty() && process.mountNamespace == marks.mountNamespace)) {
      world.insert(process.pid);
    }
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& process : all) {
      if (process.pid != except && world.contains(process.parent) && world.insert(process.pid).second) grew = true;
    }
  }
  return {world.begin(), world.end()};
}

bool killWorld(const WorldMarks& marks, pid_t except) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::vector<pid_t> alive = worldProcesses(marks, except);
    if (alive.empty()) return true;
    for (pid_t pid : alive) ::kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace system_testing
