// NSLog: one line of the process's log, written to standard error in a single write:
//   2026-12-07 20:03:56.123 proxyhost[4242:4243] message
//
// Formats take `%@` (a string: std::string, std::string_view or const char*), `%d`/`%i` (a
// signed 32-bit decimal; wider integers print through their low 32 bits, as on the platform),
// `%ld`/`%lld` (signed 64-bit), `%u`/`%lu`/`%llu` (unsigned), `%s` (a C string), `%f`, and `%%`.
// A specifier without an argument prints as written.
//
// Tests read the lines through NSLogCapture (the message text only, no prefix).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace nslog_detail {

using Arg = std::variant<std::string_view, int64_t, uint64_t, double>;

template <typename T>
Arg toArg(const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    return static_cast<int64_t>(v);
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    return static_cast<int64_t>(v);
  } else if constexpr (std::is_integral_v<T>) {
    return static_cast<uint64_t>(v);
  } else if constexpr (std::is_floating_point_v<T>) {
    return static_cast<double>(v);
  } else if constexpr (std::is_convertible_v<T, const char*>) {
    const char* s = v;
    return std::string_view(s != nullptr ? s : "(null)");
  } else {
    return std::string_view(v);
  }
}

// The arguments live on the caller's stack (an initializer list), so a line costs no allocation
// for them.
std::string format(std::string_view format, std::initializer_list<Arg> args);
// Formats the line straight behind its prefix and writes it with one write(2); no lock unless a
// capture is in force.
void log(std::string_view format, std::initializer_list<Arg> args);

}  // namespace nslog_detail

template <typename... Args>
void NSLog(std::string_view format, const Args&... args) {
  nslog_detail::log(format, {nslog_detail::toArg(args)...});
}

// While alive, NSLog lines go to `sink` (message text only) instead of standard error.
// Lines may arrive from any thread; the sink is called under a lock, one line at a time.
class NSLogCapture {
 public:
  explicit NSLogCapture(std::function<void(const std::string&)> sink);
  NSLogCapture();  // keeps the lines; read them with lines()
  ~NSLogCapture();
  NSLogCapture(const NSLogCapture&) = delete;
  NSLogCapture& operator=(const NSLogCapture&) = delete;

  std::vector<std::string> lines() const;

 private:
  std::function<void(const std::string&)> sink_;
  std::function<void(const std::string&)> previous_;
  // This capture's own lines (default constructor only), so captures nest without sharing them.
  std::shared_ptr<std::vector<std::string>> kept_;
};
