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

}  // namespace

posix::Expected<StateFolder> StateFolder::open(const std::string& path, bool parents) {
  if (parents) {
    if (auto made = posix::createFolders(posix::folderOf(path), 0700); !made) return made.error();
  }
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return posix::SystemError::fromErrno("mkdir", path);
  const std::string lockPath = path + "/" + kLockFileName;
  posix::Expected<UniqueFd> lock = posix::lockFile(lockPath, O_RDWR | O_CREAT, 0644);
  if (!lock) return lock.error();
  return StateFolder(path, std::move(*lock));
}

posix::Expected<void> StateFolder::appendRun(const std::vector<std::string>& argv) {
  const std::string path = file(kRunLogFileName);
  UniqueFd log(retryOnInterrupt([&] { return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); }));
  if (log.get() < 0) return posix::SystemError::fromErrno("open", path);
  if (!posix::writeAll(log.get(), formatRunLogLine(argv))) return posix::SystemError::fromErrno("write", path);
  return {};
}

posix::Expected<NetworkState> StateFolder::load(const NetworkState& initial) {
  const std::string path = file(kStateFileName);
  const posix::Expected<std::string> bytes = posix::readFile(path);
  if (!bytes) {
    if (bytes.error().code() == ENOENT) return initial;
    return bytes.error();
  }
  std::optional<NetworkState> state = decodeStatePlist(*bytes);
  if (!state) return posix::Error(path + " is not a networksetup state property list; move it away to start afresh");
  return std::move(*state);
}

posix::Expected<void> StateFolder::save(const NetworkState& state) {
  return posix::writeFileAtomically(file(kStateFileName), encodeStatePlist(state), 0644);
}

}  // namespace networksetup
