#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/posix/Files.h"
#include "platform/posix/Signals.h"
#include "platform/posix/UniqueFd.h"
#include "platform/posix/User.h"

namespace posix {

void CloseDescriptor::operator()(int fd) const { ::close(fd); }

UniqueFd openProcessDescriptor(pid_t pid) {
  if (pid <= 0) {
    errno = ESRCH;
    return UniqueFd();
  }
#ifdef SYS_pidfd_open
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  errno = ENOSYS;
  return UniqueFd();
#endif
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = retryOnInterrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

ServiceThreadSignals::ServiceThreadSignals() {
  sigset_t spared;
  sigfillset(&spared);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&spared, fault);
  pthread_sigmask(SIG_BLOCK, &spared, &previous_);
}

ServiceThreadSignals::~ServiceThreadSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

Expected<Pipe> openPipe(PipeBlocking blocking) {
  const int flags = O_CLOEXEC | (blocking == PipeBlocking::NonBlocking ? O_NONBLOCK : 0);
  int ends[2];
#ifdef __linux__
  if (::pipe2(ends, flags) != 0) return SystemError::fromErrno("pipe2");
  return Pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
#else
  if (::pipe(ends) != 0) return SystemError::fromErrno("pipe");
  Pipe pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
  for (int fd : ends) {
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || ((flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0)) {
      return SystemError::fromErrno("fcntl");
    }
  }
  return pipe;
#endif
}

namespace {

SystemError failure(std::string call, std::string path) {
  return SystemError::fromErrno(std::move(call), std::move(path));
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::optional<std::string> executablePath() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::nullopt;
  return std::string(path, static_cast<size_t>(n));
}

std::optional<uid_t> parseUid(const char* text) {
  if (text == nullptr || *text == '\0' || std::strlen(text) > 10) return std::nullopt;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
  }
  const unsigned long long value = std::strtoull(text, nullptr, 10);
  if (value >= static_cast<unsigned long long>(static_cast<uid_t>(-1))) return std::nullopt;
  return static_cast<uid_t>(value);
}

uid_t actingUser() {
  if (::geteuid() == 0) {
    for (const char* variable : {"PKEXEC_UID", "SUDO_UID"}) {
      if (auto uid = parseUid(std::getenv(variable))) return *uid;
    }
  }
  return ::getuid();
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

Expected<void> createFolders(const std::string& folder, mode_t mode) {
  if (isFolder(folder)) return {};
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    if (::mkdir(prefix.c_str(), mode) == 0) {
      ::chmod(prefix.c_str(), mode);  // the umask took bits off
    } else if (errno != EEXIST) {
      return failure("mkdir", prefix);
    }
    if (slash == std::string::npos) break;
  }
  if (isFolder(folder)) return {};
  errno = ENOTDIR;
  return failure("mkdir", folder);
}

namespace {

// Reads `path` until `enough` says the bytes so far are all that is wanted, or to its end.
template <typename Enough>
Expected<std::string> readUntil(const std::string& path, size_t limit, FileKind kind, Enough enough) {
  auto fail = [&](const char* call) -> Expected<std::string> { return failure(call, path); };
  const int flags = O_RDONLY | O_CLOEXEC | (kind == FileKind::regularFile ? O_NOFOLLOW | O_NONBLOCK : 0);
  UniqueFd file(retryOnInterrupt([&] { return ::open(path.c_str(), flags); }));
  if (!file.valid()) return fail("open");
  if (kind == FileKind::regularFile) {
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return fail("fstat");
    if (!S_ISREG(info.st_mode)) {
      errno = EINVAL;
      return fail("open");
    }
  }
  std::string bytes;
  char buffer[16384];
  for (;;) {
    const ssize_t n = retryOnInterrupt([&] { return ::read(file.get(), buffer, sizeof buffer); });
    if (n < 0) return fail("read");
    if (n == 0) return bytes;
    const size_t before = bytes.size();
    bytes.append(buffer, static_cast<size_t>(n));
    if (enough(bytes, before)) return bytes;
    if (bytes.size() > limit) {
      errno = EFBIG;
      return fail("read");
    }
  }
}

}  // namespace

Expected<std::string> readFile(const std::string& path, size_t limit, FileKind kind) {
  return readUntil(path, limit, kind, [](const std::string&, size_t) { return false; });
}

Expected<std::string> readFirstLine(const std::string& path, size_t limit) {
  size_t end = std::string::npos;
  auto line = readUntil(path, limit, FileKind::any, [&](const std::string& bytes, size_t from) {
    end = bytes.find('\n', from);
    return end != std::string::npos && end <= limit;
  });
  if (line && end != std::string::npos) line->resize(end);
  return line;
}

Expected<UniqueFd> lockFile(const std::string& path, int flags, mode_t mode) {
  UniqueFd fd(retryOnInterrupt([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); }));
  const char* failed = !fd.valid()                                                         ? "open"
                       : retryOnInterrupt([&] { return ::flock(fd.get(), LOCK_EX); }) != 0 ? "flock"
                                                                                           : nullptr;
  if (failed == nullptr) return fd;
  return failure(failed, path);
}

std::optional<uid_t> folderOwner(const std::string& folder) {
  struct stat st {};
  if (::lstat(folder.c_str(), &st) == 0) return st.st_uid;
  // Links above it are the user's own layout (a home on another disk): followed.
  for (std::string above = folderOf(folder); errno == ENOENT; above = folderOf(above)) {
    if (::stat(above.c_str(), &st) == 0) return st.st_uid;
    if (above == "/" || above == ".") break;
  }
  return std::nullopt;
}

Expected<void> createOwnFolder(const std::string& folder) {
  const uid_t user = ::getuid();
  auto notOurs = [&](uid_t owner) {
    return Error(folder + " belongs to user " + std::to_string(owner) + ", not to user " + std::to_string(user));
  };
  if (auto owner = folderOwner(folder); owner && *owner != user) return notOurs(*owner);
  if (auto made = createFolders(folder, 0700); !made) return made.error();
  // The folder itself must not be a link: it could lead anywhere, into another user's folder too.
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return failure("lstat", folder);
  if (!S_ISDIR(st.st_mode)) return Error(folder + " is not a folder");
  if (st.st_uid != user) return notOurs(st.st_uid);
  return {};
}

Expected<void> writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
  const std::string folder = folderOf(path);
  std::string temporary = path + ".XXXXXX";
  std::optional<SystemError> error;
  {
    UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.valid()) return failure("mkostemp", temporary);
    if (::fchmod(file.get(), mode) != 0) error = failure("fchmod", temporary);
    else if (!writeAll(file.get(), bytes)) error = failure("write", temporary);
    else if (::fsync(file.get()) != 0) error = failure("fsync", temporary);
    else if (::close(file.release()) != 0) error = failure("close", temporary);
  }
  if (!error && ::rename(temporary.c_str(), path.c_str()) != 0) error = failure("rename", temporary);
  if (error) {
    ::unlink(temporary.c_str());
    return *error;
  }
  UniqueFd folderFd(retryOnInterrupt([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!folderFd.valid()) return failure("open", folder);
  if (::fsync(folderFd.get()) != 0) return failure("fsync", folder);
  return {};
}

namespace {

// No capability in the permitted, effective or inheritable set (ambient ones need a permitted one).
bool holdsNoCapability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  for (const auto& word : data) {
    if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0) return false;
  }
  return true;
}

}  // namespace

Expected<void> becomeUser(uid_t user) {
  const passwd* entry = ::getpwuid(user);
  if (entry == nullptr) return Error("there is no user with uid " + std::to_string(user));
  const std::string name = entry->pw_name;
  const gid_t group = entry->pw_gid;
  const std::string home = entry->pw_dir != nullptr && *entry->pw_dir != '\0' ? entry->pw_dir : "/";
  // The bounding set can be emptied only while this process may still change it.
  for (int capability = 0; capability <= 63; ++capability) {
    if (::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EINVAL)
      return failure("prctl", "PR_CAPBSET_DROP");
  }
  if (::initgroups(name.c_str(), group) != 0) return failure("initgroups", name);
  if (::setresgid(group, group, group) != 0) return failure("setresgid", std::to_string(group));
  // Without SECBIT_KEEP_CAPS the kernel clears the permitted and effective sets here.
  if (::setresuid(user, user, user) != 0) return failure("setresuid", std::to_string(user));
  if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    return failure("prctl", "PR_CAP_AMBIENT_CLEAR_ALL");
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return failure("prctl", "PR_SET_NO_NEW_PRIVS");
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0 || ruid != user || euid != user ||
      suid != user || rgid != group || egid != group || sgid != group || !holdsNoCapability() ||
      ::setresuid(0, 0, 0) == 0) {
    return Error("uid " + std::to_string(user) + " kept rights it must not have");
  }
  const std::string runtime = "/run/user/" + std::to_string(user);
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("USER", name.c_str(), 1);
  ::setenv("LOGNAME", name.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtime + "/bus").c_str(), 1);
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
    ::unsetenv(variable);
  }
  // The working folder is a courtesy to what runs next: the home, else the root. Neither open to the
  // user leaves it where it was, which does not undo the change of user.
  [[maybe_unused]] const bool moved = ::chdir(home.c_str()) == 0 || ::chdir("/") == 0;
  return {};
}

}  // namespace posix
