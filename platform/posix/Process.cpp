#include "platform/posix/Process.h"

#include <unistd.h>

#include <charconv>

#include "platform/posix/Decimal.h"
#include "platform/posix/Files.h"

namespace posix {

namespace {

std::optional<uint64_t> startTimeOf(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  // The whole file: a process name may hold a line feed.
  const Expected<std::string> line = readFile(path, 4096);
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

}  // namespace

ProcessIdentity ProcessIdentity::current() {
  const pid_t self = ::getpid();
  return {self, startTimeOf(self).value_or(0)};
}

std::optional<ProcessIdentity> ProcessIdentity::of(pid_t pid) {
  auto started = startTimeOf(pid);
  if (!started) return std::nullopt;
  return ProcessIdentity{pid, *started};
}

bool ProcessIdentity::isAlive() const {
  auto now = of(pid);
  return now && *now == *this;
}

std::string ProcessIdentity::text() const { return std::to_string(pid) + " " + std::to_string(startTime); }

std::optional<ProcessIdentity> ProcessIdentity::fromText(std::string_view text) {
  size_t blank = text.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  auto pid = parseDecimal<pid_t>(text.substr(0, blank));
  auto started = parseDecimal<uint64_t>(text.substr(blank + 1));
  if (!pid || !started) return std::nullopt;
  return ProcessIdentity{*pid, *started};
}

}  // namespace posix
