#include "platform/scripting/ShellCommand.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

posix::Expected<posix::UniqueFd> ShellCommand::sealedFile(const std::string& command) {
  posix::UniqueFd file(::memfd_create("proxyhost-script", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!file.valid()) return posix::Error(std::string("memfd_create: ") + std::strerror(errno));
  if (!posix::writeAll(file.get(), command) || ::lseek(file.get(), 0, SEEK_SET) != 0) {
    return posix::Error(std::string("write: ") + std::strerror(errno));
  }
  ::fcntl(file.get(), F_ADD_SEALS, F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE);
  return file;
}

ShellCommand::ShellCommand(const std::string& command) {
  const size_t longestArgument = 32 * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) - 1;
  if (command.size() <= longestArgument) {
    arguments_ = {"-c", command};
    return;
  }
  posix::Expected<posix::UniqueFd> sealed = sealedFile(command);
  if (!sealed) {
    startError_ = sealed.error().message();
    return;
  }
  script_ = std::move(*sealed);
  arguments_ = {"/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(script_.get())};
}
