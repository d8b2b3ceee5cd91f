// The POSIX basics every platform folder shares: an owning descriptor, the retry on EINTR, pipes.
//
//   posix::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
//   if (!fd.valid()) return error;
//   ssize_t n = posix::retryOnInterrupt([&] { return ::read(fd.get(), buffer, size); });
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/posix/Expected.h"

namespace posix {

// Calls `call` again for as long as it fails with EINTR; returns its first other result, errno
// intact. Never wrap close: the descriptor is gone after an interrupted close, and a retry may
// close a number another thread has just been given.
template <typename Call>
auto retryOnInterrupt(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// Owns one descriptor (-1: none): move-only, closed exactly once by `Close` when dropped or reset,
// never retried. `Close` is a seam for descriptors that belong to a stand-in's calls.
template <typename Close>
class BasicUniqueFd {
 public:
  BasicUniqueFd() = default;
  explicit BasicUniqueFd(int fd) : fd_(fd) {}
  BasicUniqueFd(BasicUniqueFd&& other) noexcept : fd_(other.release()) {}
  BasicUniqueFd& operator=(BasicUniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  BasicUniqueFd(const BasicUniqueFd&) = delete;
  BasicUniqueFd& operator=(const BasicUniqueFd&) = delete;
  ~BasicUniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor (if any) and holds `fd` instead.
  void reset(int fd = -1) {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) Close{}(old);
  }

 private:
  int fd_ = -1;
};

struct CloseDescriptor {
  void operator()(int fd) const;
};
using UniqueFd = BasicUniqueFd<CloseDescriptor>;

// Writes all of `bytes`, going on after short writes and EINTR; false with errno on failure.
bool writeAll(int fd, std::string_view bytes);

// A descriptor that becomes readable when process `pid` ends (Linux's pidfd, close-on-exec from
// the start); invalid, errno set, when there is no such process or the kernel has no pidfds.
UniqueFd openProcessDescriptor(pid_t pid);

struct Pipe {
  UniqueFd read, write;
};
enum class PipeBlocking { Blocking, NonBlocking };
// A pipe whose ends are close-on-exec (and non-blocking when asked).
Expected<Pipe> openPipe(PipeBlocking blocking = PipeBlocking::Blocking);

}  // namespace posix
