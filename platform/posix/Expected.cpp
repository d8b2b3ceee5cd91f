#include "platform/posix/Expected.h"

#include <cstring>

namespace posix {

std::string SystemError::message() const { return call + "(" + path + "): " + std::strerror(code); }

std::string Error::message() const {
  std::string cause = system() ? system()->message() : std::get<std::string>(cause_);
  return context_.empty() ? cause : context_ + ": " + cause;
}

}  // namespace posix
