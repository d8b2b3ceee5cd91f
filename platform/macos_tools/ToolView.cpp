// How the view is laid, all of it private to the new mount namespace:
//   1. a small tmpfs ("the stage") is mounted over /usr/sbin for a moment and given
//      sbin/networksetup, a symbolic link to the product's tool;
//   2. /usr/sbin becomes a read-only overlay: the stage's sbin over the real /usr/sbin, reached
//      through a descriptor opened before the stage covered it; the stage ends up hidden beneath;
//   3. each other tool whose macOS path exists (/usr/bin/base64) is bound over it.
// No file is created on the real file system and every real tool stays where it is.
#include "platform/macos_tools/ToolView.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/macos_tools/MacOSTools.h"
#include "platform/posix/Files.h"
#include "platform/posix/UniqueFd.h"

namespace macos_tools {

namespace {

constexpr const char* kSbin = "/usr/sbin";

// What failed, with errno in words.
posix::Error failed(const std::string& what) { return posix::Error(what + ": " + std::strerror(errno)); }

posix::Expected<void> writeFile(const std::string& path, const std::string& text) {
  const posix::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd.valid()) return posix::SystemError::fromErrno("open", path);
  if (!posix::writeAll(fd.get(), text)) return posix::SystemError::fromErrno("write", path);
  return {};
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

posix::Expected<void> enterUserNamespace() {
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
    const std::string why = std::strerror(errno);
    return posix::Error(
        "the macOS tools need root or an unprivileged user namespace, and none can be created (unshare: " + why +
        "): " + userNamespaceDiagnosis());
  }
  // The command keeps its own identity: ids map to themselves, so it is not root in there either.
  posix::Expected<void> mapped = writeFile("/proc/self/setgroups", "deny");
  if (mapped) mapped = writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
  if (mapped) mapped = writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
  return mapped;
}

posix::Expected<void> enterMountNamespace() {
  if (::geteuid() == 0) {
    if (::unshare(CLONE_NEWNS) == 0) return {};
    // Root without CAP_SYS_ADMIN (a container, say) may still own a user namespace.
    if (errno != EPERM) return failed("unshare(CLONE_NEWNS)");
  }
  return enterUserNamespace();
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat first {
  }, second{};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

std::string toolIn(const std::string& folder, const MacOSTool& tool) {
  return folder + "/" + std::string(tool.toolName);
}

// The tools whose macOS folder is /usr/sbin get the overlay; the others are bound over their file.
bool inSbin(const MacOSTool& tool) { return tool.macosPath.starts_with("/usr/sbin/"); }

posix::Expected<void> layOverSbin(const std::string& folder) {
  struct stat info {};
  if (::lstat(kSbin, &info) != 0) return failed("lstat(/usr/sbin)");
  if (!S_ISDIR(info.st_mode)) {
    return posix::Error(
        "/usr/sbin is not a plain folder (a symbolic link?); the macOS tools are laid over a plain one only");
  }
  const posix::UniqueFd realSbin(::open(kSbin, O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!realSbin.valid()) return failed("open(/usr/sbin)");
  if (::mount("proxyhost", kSbin, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=64k") != 0) {
    return failed("mount tmpfs on /usr/sbin");
  }
  const std::string stage = std::string(kSbin) + "/sbin";
  if (::mkdir(stage.c_str(), 0755) != 0) return failed("mkdir(" + stage + ")");
  for (const MacOSTool& tool : kMacOSTools) {
    if (!inSbin(tool)) continue;
    const std::string link = stage + std::string(tool.macosPath.substr(std::strlen(kSbin)));
    if (::symlink(toolIn(folder, tool).c_str(), link.c_str()) != 0) return failed("symlink(" + link + ")");
  }
  const std::string options = "lowerdir=" + stage + ":/proc/self/fd/" + std::to_string(realSbin.get());
  if (::mount("proxyhost", kSbin, "overlay", 0, options.c_str()) != 0) {
    const bool unprivileged = ::geteuid() != 0;
    const bool refused = errno == EPERM;
    posix::Error error = failed("mount overlay on /usr/sbin");
    if (!unprivileged || !refused) return error;
    return posix::Error(error.message() + " (overlays in a user namespace need Linux 5.11 or later)");
  }
  return {};
}

}  // namespace

bool toolViewInPlace(const std::string& folder) {
  for (const MacOSTool& tool : kMacOSTools) {
    if (!sameFile(std::string(tool.macosPath), toolIn(folder, tool))) return false;
  }
  return true;
}

posix::Expected<void> enterToolView(const std::string& folder) {
  for (const MacOSTool& tool : kMacOSTools) {
    if (::access(toolIn(folder, tool).c_str(), X_OK) != 0) return failed("the tool " + toolIn(folder, tool));
  }
  if (auto entered = enterMountNamespace(); !entered) return entered;
  // Without this, the mounts below would propagate back into the machine's namespace.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return failed("making the mounts of / private");
  }
  bool sbinLaid = false;
  for (const MacOSTool& tool : kMacOSTools) {
    const std::string path(tool.macosPath);
    if (sameFile(path, toolIn(folder, tool))) continue;
    if (inSbin(tool)) {
      if (!sbinLaid) {
        if (auto laid = layOverSbin(folder); !laid) return laid;
      }
      sbinLaid = true;
    } else if (::mount(toolIn(folder, tool).c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return failed("bind " + toolIn(folder, tool) + " onto " + path);
    }
  }
  return {};
}

}  // namespace macos_tools
