// The namespace and mounts behind macsim. Everything here happens in macsim's own process before it
// execs the command, so the command inherits the namespace and keeps macsim's process id.
//
// The layout, all of it private to the new mount namespace:
//   1. a small tmpfs ("the stage") is mounted over /usr/sbin for a moment, and filled:
//        sbin/networksetup             symbolic link to the stand-in
//        libexec/macsim/base64         the -D wrapper script
//        libexec/macsim/gnu/base64     empty file, the mount point of the real base64
//   2. /usr/libexec becomes a read-only overlay: the stage's libexec over the real /usr/libexec;
//   3. the real /usr/bin/base64 is bound onto /usr/libexec/macsim/gnu/base64, then the wrapper onto
//      /usr/bin/base64;
//   4. /usr/sbin becomes a read-only overlay: the stage's sbin over the real /usr/sbin, reached through
//      a descriptor opened before the stage covered it. The stage itself ends up hidden beneath.
// So no file is created on the real file system, every real tool stays where it is, and the
// namespace ends with the last process in it. Under an enclosing macsim, base64 is left as that one
// laid it, and only /usr/sbin gets a new stage with this macsim's stand-in.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/Files.h"
#include "platform/posix/UniqueFd.h"
#include "tools/macsim/MacSim.h"

namespace macsim {

namespace {

constexpr const char* kSbin = "/usr/sbin";
constexpr const char* kLibexec = "/usr/libexec";
constexpr const char* kBase64 = "/usr/bin/base64";
constexpr const char* kRealBase64 = "/usr/libexec/macsim/gnu/base64";
constexpr const char* kWrapper = "/usr/libexec/macsim/base64";

bool fail(std::string* error, const std::string& what) {
  *error = what + ": " + std::strerror(errno);
  return false;
}

bool writeFile(const std::string& path, const std::string& text, std::string* error) {
  const posix::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd.valid()) return fail(error, "open(" + path + ")");
  if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    return fail(error, "write(" + path + ")");
  }
  return true;
}

bool createFile(const std::string& path, const std::string& contents, mode_t mode, std::string* error) {
  const posix::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd.valid()) return fail(error, "creating " + path);
  // The mode must not depend on the caller's umask: the wrapper has to stay executable.
  if (::fchmod(fd.get(), mode) != 0 || !posix::writeAll(fd.get(), contents)) return fail(error, "writing " + path);
  return true;
}

// Why an unprivileged user namespace was refused, in the words of the knob that refuses it.
std::string userNamespaceDiagnosis() {
  struct Knob {
    const char* path;
    const char* refusing;
    const char* explanation;
  };
  const Knob knobs[] = {
      {"/proc/sys/kernel/unprivileged_userns_clone", "0",
       "the sysctl kernel.unprivileged_userns_clone is 0 (set it to 1 to allow them)"},
      {"/proc/sys/user/max_user_namespaces", "0", "the sysctl user.max_user_namespaces is 0"},
      {"/proc/sys/kernel/apparmor_restrict_unprivileged_userns", "1",
       "AppArmor restricts unprivileged user namespaces (kernel.apparmor_restrict_unprivileged_userns is 1)"},
  };
  for (const auto& knob : knobs) {
    if (posix::readFirstLine(knob.path).value_or("") == knob.refusing) return knob.explanation;
  }
  return "the kernel or a security policy (seccomp in a container, for one) refuses them";
}

bool enterUserNamespace(std::string* error) {
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
    const std::string why = std::strerror(errno);
    *error = "macsim needs root or an unprivileged user namespace, and cannot create one (unshare: " + why +
             "): " + userNamespaceDiagnosis() + ". Run macsim as root instead.";
    return false;
  }
  // The command keeps its own identity: ids map to themselves, so it is not root in there either.
  return writeFile("/proc/self/setgroups", "deny", error) &&
         writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1", error) &&
         writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1", error);
}

bool enterMountNamespace(std::string* error) {
  if (::geteuid() == 0) {
    if (::unshare(CLONE_NEWNS) == 0) return true;
    // Root without CAP_SYS_ADMIN (a container, say) may still own a user namespace.
    if (errno != EPERM) return fail(error, "unshare(CLONE_NEWNS)");
  }
  return enterUserNamespace(error);
}

bool requireRealFolder(const char* path, std::string* error) {
  struct stat info {};
  if (::lstat(path, &info) != 0) return fail(error, std::string("lstat(") + path + ")");
  if (!S_ISDIR(info.st_mode)) {
    *error = std::string(path) + " is not a plain folder (a symbolic link?); macsim lays its stand-ins over a "
             "plain /usr/sbin and /usr/libexec only";
    return false;
  }
  return true;
}

bool mountOverlay(const std::string& target, const std::string& upperLayer, int lowerFolderFd, std::string* error) {
  const std::string options = "lowerdir=" + upperLayer + ":/proc/self/fd/" + std::to_string(lowerFolderFd);
  if (::mount("macsim", target.c_str(), "overlay", 0, options.c_str()) != 0) {
    const bool unprivileged = ::geteuid() != 0;
    fail(error, "mount overlay on " + target);
    if (unprivileged && errno == EPERM) *error += " (overlays in a user namespace need Linux 5.11 or later)";
    return false;
  }
  return true;
}

bool bind(const std::string& source, const std::string& target, std::string* error) {
  if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return fail(error, "bind " + source + " onto " + target);
  }
  return true;
}

}  // namespace

bool enterSimulation(const std::string& standIn, std::string* error) {
  if (!requireRealFolder(kSbin, error) || !requireRealFolder(kLibexec, error)) return false;
  struct stat info {};
  if (::stat(kBase64, &info) != 0) return fail(error, std::string("stat(") + kBase64 + ")");
  // Under an enclosing macsim, /usr/bin/base64 is a wrapper already: binding it as the real one would
  // make it exec itself for ever, and an unprivileged overlay of that /usr/libexec is refused (its
  // bind mount is locked in a nested user namespace). Only the stand-in needs laying again.
  const bool base64Ready = ::stat(kRealBase64, &info) == 0;

  if (!enterMountNamespace(error)) return false;
  // Without this, the mounts below would propagate back into the host's namespace.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return fail(error, "making the mounts of / private");
  }

  posix::UniqueFd realSbin(::open(kSbin, O_PATH | O_DIRECTORY | O_CLOEXEC));
  posix::UniqueFd realLibexec(::open(kLibexec, O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (realSbin.get() < 0 || realLibexec.get() < 0) return fail(error, "opening /usr/sbin and /usr/libexec");

  if (::mount("macsim", kSbin, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=1m") != 0) {
    return fail(error, "mount tmpfs on /usr/sbin");
  }
  const std::string stage = kSbin;
  for (const char* folder : {"/sbin", "/libexec", "/libexec/macsim", "/libexec/macsim/gnu"}) {
    if (::mkdir((stage + folder).c_str(), 0755) != 0) return fail(error, "mkdir(" + stage + folder + ")");
  }
  if (::symlink(standIn.c_str(), (stage + "/sbin/networksetup").c_str()) != 0) {
    return fail(error, "symlink(" + standIn + ")");
  }
  if (!createFile(stage + "/libexec/macsim/base64", base64WrapperScript(kRealBase64), 0755, error) ||
      !createFile(stage + "/libexec/macsim/gnu/base64", "", 0755, error)) {
    return false;
  }

  if (!base64Ready && !(mountOverlay(kLibexec, stage + "/libexec", realLibexec.get(), error) &&
                         bind(kBase64, kRealBase64, error) && bind(kWrapper, kBase64, error))) {
    return false;
  }
  return mountOverlay(kSbin, stage + "/sbin", realSbin.get(), error);
}

}  // namespace macsim
