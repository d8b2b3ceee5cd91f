#include "platform/darwin/DarwinProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/posix/UniqueFd.h"

namespace darwin {

posix::Expected<ProcessExitWatch> ProcessExitWatch::watch(pid_t pid) {
  posix::UniqueFd fd = posix::openProcessDescriptor(pid);
  if (!fd.valid()) return posix::SystemError::fromErrno("pidfd_open", std::to_string(pid));
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
