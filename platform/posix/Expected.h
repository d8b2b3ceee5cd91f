// The one internal way to say "this failed, and why": a value or an Error. An Error keeps either the
// failing system call (its name, the path it worked on, its errno) or a plain reason, and says
// either in words. Errors that copy a macOS API (NSError, the AppleScript error dictionary,
// FlutterError) keep their own shapes at that API's edge.
//
//   posix::Expected<std::string> readName(const std::string& path) {
//     posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
//     if (!fd.valid()) return posix::SystemError::fromErrno("open", path);
//     ...
//     if (name.empty()) return posix::Error("the name is empty");
//     return name;
//   }
//
//   posix::Expected<std::string> name = readName(path);
//   if (!name) return name.error().prefixed("the device");   // "the device: open(/x): No such file..."
//   use(*name);
#pragma once

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace posix {

// A failed system call: its name, the path it worked on, and its errno.
struct SystemError {
  std::string call;
  std::string path;
  int code = 0;

  // The call that just failed, with errno as it stands.
  static SystemError fromErrno(std::string call, std::string path = {}) {
    return SystemError{std::move(call), std::move(path), errno};
  }
  // "rename(/a/b.XXXXXX): No space left on device"
  std::string message() const;
};

// Why something failed: a system call's failure, or a plain reason, with what the callers above
// it added in front ("the state: rename(...): No space left on device").
class Error {
 public:
  Error(SystemError system) : cause_(std::move(system)) {}  // NOLINT: a failed call is an Error
  explicit Error(std::string reason) : cause_(std::move(reason)) {}
  explicit Error(const char* reason) : cause_(std::string(reason)) {}

  // The failed system call, when that is the cause; nullptr for a plain reason.
  const SystemError* system() const { return std::get_if<SystemError>(&cause_); }
  // The errno of a failed call; 0 for a plain reason.
  int code() const { return system() ? system()->code : 0; }
  // The whole explanation in words: what callers added, then the cause.
  std::string message() const;

  // This error with `context` in front of its message ("context: message"); the cause is kept.
  Error prefixed(const std::string& context) const& {
    Error copy = *this;
    return std::move(copy).prefixed(context);
  }
  Error prefixed(const std::string& context) && {
    context_ = context_.empty() ? context : context + ": " + context_;
    return std::move(*this);
  }

 private:
  std::variant<std::string, SystemError> cause_;
  std::string context_;
};

// A T, or the Error that kept it from being made. Test it before use: value() on an error (or
// error() on a value) ends the process, as a broken invariant.
template <typename T>
class [[nodiscard]] Expected {
  static_assert(!std::is_same_v<std::decay_t<T>, Error> && !std::is_same_v<std::decay_t<T>, SystemError>,
                "an Expected holds a value, never an error as its value");

 public:
  template <typename U = T,
            typename = std::enable_if_t<std::is_constructible_v<T, U&&> && !std::is_same_v<std::decay_t<U>, Error> &&
                                        !std::is_same_v<std::decay_t<U>, SystemError> &&
                                        !std::is_same_v<std::decay_t<U>, Expected>>>
  Expected(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}           // NOLINT
  Expected(Error error) : state_(std::in_place_index<1>, std::move(error)) {}               // NOLINT
  Expected(SystemError error) : state_(std::in_place_index<1>, Error(std::move(error))) {}  // NOLINT

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return checked(); }
  const T& value() const& { return const_cast<Expected*>(this)->checked(); }
  T&& value() && { return std::move(checked()); }
  T& operator*() & { return checked(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(checked()); }
  T* operator->() { return &checked(); }
  const T* operator->() const { return &value(); }

  template <typename U>
  T value_or(U&& fallback) const& {
    return has_value() ? std::get<0>(state_) : static_cast<T>(std::forward<U>(fallback));
  }

  const Error& error() const {
    if (has_value()) std::abort();
    return std::get<1>(state_);
  }

  // The value as an optional, the error dropped: for callers to whom only "there or not" matters.
  std::optional<T> ok() && { return has_value() ? std::optional<T>(std::move(std::get<0>(state_))) : std::nullopt; }

 private:
  T& checked() {
    if (!has_value()) std::abort();
    return std::get<0>(state_);
  }

  std::variant<T, Error> state_;
};

// Success with nothing to give back, or the Error.
template <>
class [[nodiscard]] Expected<void> {
 public:
  Expected() = default;
  Expected(Error error) : error_(std::move(error)) {}               // NOLINT
  Expected(SystemError error) : error_(Error(std::move(error))) {}  // NOLINT

  bool has_value() const { return !error_; }
  explicit operator bool() const { return has_value(); }

  const Error& error() const {
    if (!error_) std::abort();
    return *error_;
  }

 private:
  std::optional<Error> error_;
};

}  // namespace posix
