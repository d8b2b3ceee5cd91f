// Numbers written in files and on command lines, read back exactly.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace posix {

// A whole text of decimal digits (a sign for a signed type) as `Int`; nothing for anything else, an
// empty text or a value out of range.
template <typename Int>
std::optional<Int> parseDecimal(std::string_view text) {
  Int value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

}  // namespace posix
