#include "tools/networksetup/StateFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/posix/Files.h"
#include "tools/networksetup/RunLog.h"

namespace networksetup {

namespace {

using posix::retryOnInterrupt;
using posix::UniqueFd;

bool fail(std::string* error, const std::string& call, const std::string& path) {
  if (error != nullptr) *error = posix::SystemError{call, path, errno}.message();
  return false;
}

}  // namespace

std::optional<StateFolder> StateFolder::open(const std::string& path, std::string* error, bool parents) {
  if (parents) {
    if (auto made = posix::createFolders(posix::folderOf(path), 0700); !made) {
      if (error != nullptr) *error = made.error().message();
      return std::nullopt;
    }
  }
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    fail(error, "mkdir", path);
    return std::nullopt;
  }
  const std::string lockPath = path + "/" + kLockFileName;
  posix::Expected<UniqueFd> lock = posix::lockFile(lockPath, O_RDWR | O_CREAT, 0644);
  if (!lock) {
    if (error != nullptr) *error = lock.error().message();
    return std::nullopt;
  }
  return StateFolder(path, std::move(*lock));
}

bool StateFolder::appendRun(const std::vector<std::string>& argv, std::string* error) {
  const std::string path = file(kRunLogFileName);
  UniqueFd log(retryOnInterrupt([&] { return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); }));
  if (log.get() < 0) return fail(error, "open", path);
  if (!posix::writeAll(log.get(), formatRunLogLine(argv))) return fail(error, "write", path);
  return true;
}

std::optional<NetworkState> StateFolder::load(std::string* error, const NetworkState& initial) {
  const std::string path = file(kStateFileName);
  const posix::Expected<std::string> bytes = posix::readFile(path);
  if (!bytes) {
    if (bytes.error().code() == ENOENT) return initial;
    if (error != nullptr) *error = bytes.error().message();
    return std::nullopt;
  }
  auto state = decodeStatePlist(*bytes);
  if (!state && error != nullptr)
    *error = path + " is not a networksetup state property list; move it away to start afresh";
  return state;
}

bool StateFolder::save(const NetworkState& state, std::string* error) {
  const posix::Expected<void> written = posix::writeFileAtomically(file(kStateFileName), encodeStatePlist(state), 0644);
  if (!written && error != nullptr) *error = written.error().message();
  return written.has_value();
}

}  // namespace networksetup
