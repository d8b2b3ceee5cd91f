#include "tools/networksetup/StateFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "tools/networksetup/RunLog.h"

namespace networksetup {

namespace {

constexpr const char* kTemporaryStateFileName = "state.plist.tmp";

bool fail(std::string* error, const std::string& call, const std::string& path) {
  if (error != nullptr) *error = call + "(" + path + "): " + std::strerror(errno);
  return false;
}

template <typename Call>
auto retryOnInterrupt(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = retryOnInterrupt([&] { return ::write(fd, bytes.data() + done, bytes.size() - done); });
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);  // never retried: the descriptor is gone whatever close says
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace

std::optional<StateFolder> StateFolder::open(const std::string& path, std::string* error) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    fail(error, "mkdir", path);
    return std::nullopt;
  }
  const std::string lockPath = path + "/" + kLockFileName;
  FileDescriptor lock(retryOnInterrupt([&] { return ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644); }));
  if (lock.get() < 0) {
    fail(error, "open", lockPath);
    return std::nullopt;
  }
  if (retryOnInterrupt([&] { return ::flock(lock.get(), LOCK_EX); }) != 0) {
    fail(error, "flock", lockPath);
    return std::nullopt;
  }
  return StateFolder(path, lock.release());
}

StateFolder::StateFolder(StateFolder&& other) noexcept
    : path_(std::move(other.path_)), lockFd_(std::exchange(other.lockFd_, -1)) {}

StateFolder::~StateFolder() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

bool StateFolder::appendRun(const std::vector<std::string>& argv, std::string* error) {
  const std::string path = file(kRunLogFileName);
  FileDescriptor log(
      retryOnInterrupt([&] { return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); }));
  if (log.get() < 0) return fail(error, "open", path);
  if (!writeAll(log.get(), formatRunLogLine(argv))) return fail(error, "write", path);
  return true;
}

std::optional<NetworkState> StateFolder::load(std::string* error, const NetworkState& initial) {
  const std::string path = file(kStateFileName);
  FileDescriptor fd(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (fd.get() < 0) {
    if (errno == ENOENT) return initial;
    fail(error, "open", path);
    return std::nullopt;
  }
  std::string bytes;
  char buffer[16384];
  for (;;) {
    const ssize_t n = retryOnInterrupt([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n < 0) {
      fail(error, "read", path);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  auto state = decodeStatePlist(bytes);
  if (!state && error != nullptr) *error = path + " is not a networksetup state property list; move it away to start afresh";
  return state;
}

bool StateFolder::save(const NetworkState& state, std::string* error) {
  const std::string temporary = file(kTemporaryStateFileName);
  const std::string target = file(kStateFileName);
  {
    FileDescriptor fd(retryOnInterrupt(
        [&] { return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }));
    if (fd.get() < 0) return fail(error, "open", temporary);
    if (!writeAll(fd.get(), encodeStatePlist(state))) return fail(error, "write", temporary);
    if (::fsync(fd.get()) != 0) return fail(error, "fsync", temporary);
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) return fail(error, "rename", temporary);
  FileDescriptor folder(retryOnInterrupt([&] { return ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (folder.get() < 0) return fail(error, "open", path_);
  if (::fsync(folder.get()) != 0) return fail(error, "fsync", path_);
  return true;
}

}  // namespace networksetup
