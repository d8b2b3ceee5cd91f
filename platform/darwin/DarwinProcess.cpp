#include "platform/darwin/DarwinProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>
#include <utility>

#include "platform/posix/Files.h"
#include "platform/posix/UniqueFd.h"

namespace darwin {

std::optional<uint64_t> processStartTime(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  // The whole file: a process name may hold a line feed.
  const std::optional<std::string> line = posix::readFile(path, nullptr, 4096);
  if (!line || line->empty()) return std::nullopt;
  std::string_view stat(*line);
  // "pid (comm) state ppid ...": the name may hold blanks and parentheses, so fields are counted
  // from the last closing parenthesis.
  size_t close = stat.rfind(')');
  if (close == std::string_view::npos || close + 2 >= stat.size()) return std::nullopt;
  std::string_view rest = stat.substr(close + 2);
  const char state = rest.front();
  if (state == 'Z' || state == 'X' || state == 'x') return std::nullopt;
  // rest holds field 3 onwards; the start time is field 22.
  for (int field = 3; field < 22; ++field) {
    size_t blank = rest.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(blank + 1);
  }
  uint64_t ticks = 0;
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), ticks);
  if (ec != std::errc() || end == rest.data()) return std::nullopt;
  return ticks;
}

std::optional<ProcessExitWatch> ProcessExitWatch::watch(pid_t pid, int* error) {
  posix::UniqueFd fd = posix::openProcessDescriptor(pid);
  if (!fd.valid()) {
    if (error != nullptr) *error = errno;
    return std::nullopt;
  }
  return ProcessExitWatch(std::move(fd));
}

bool ProcessExitWatch::waitUntilExit(std::optional<std::chrono::milliseconds> timeout) const {
  const auto deadline = timeout ? std::optional(std::chrono::steady_clock::now() + *timeout) : std::nullopt;
  for (;;) {
    int ms = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now()).count();
      ms = left > 0 ? static_cast<int>(std::min<int64_t>(left, 1 << 30)) : 0;
    }
    pollfd p{fd_.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, ms);
    if (ready > 0 && (p.revents & (POLLIN | POLLHUP)) != 0) return true;
    if (ready <= 0 && deadline && std::chrono::steady_clock::now() >= *deadline) return false;
    if (ready < 0 && errno != EINTR && errno != EAGAIN) return false;
  }
}

}  // namespace darwin
