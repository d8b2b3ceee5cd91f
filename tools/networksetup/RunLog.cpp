#include "tools/networksetup/RunLog.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/Utf8.h"
#include "platform/posix/Files.h"

namespace networksetup {

namespace {

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// `s` as a JSON string: its UTF-8 runs as the JSON library writes them, each byte outside them as
// \udcXX.
void appendJsonString(std::string& out, std::string_view s) {
  out += '"';
  for (size_t i = 0; i < s.size();) {
    size_t end = i;
    while (end < s.size() && utf8::sequenceLength(s, end) != 0) end += utf8::sequenceLength(s, end);
    if (end > i) {
      const std::string quoted = nlohmann::json(std::string(s.substr(i, end - i))).dump();
      out.append(quoted, 1, quoted.size() - 2);
      i = end;
      continue;
    }
    static const char kHex[] = "0123456789abcdef";
    const auto byte = static_cast<uint8_t>(s[i++]);
    out += "\\udc";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  out += '"';
}

// The JSON library takes no lone surrogate, so before it reads a line each \udcXX (a raw byte)
// becomes \u0000\u00XX and each \u0000 becomes \u0000\u0000: the parsed strings then hold NUL
// only as that mark, which takeRawBytes undoes. Nothing else changes.
std::string markRawBytes(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  bool afterHighSurrogate = false;  // the next \u escape is the low half of a pair: kept as it is
  for (size_t i = 0; i < line.size(); ++i) {
    out += line[i];
    if (line[i] != '\\' || i + 1 >= line.size()) continue;
    const char next = line[++i];
    out += next;
    if (next != 'u' || line.size() - i <= 4 ||
        !std::all_of(line.begin() + static_cast<long>(i) + 1, line.begin() + static_cast<long>(i) + 5, isHexDigit)) {
      continue;
    }
    std::string hex(line.substr(i + 1, 4));
    std::transform(hex.begin(), hex.end(), hex.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    const bool pairHalf = std::exchange(afterHighSurrogate, hex >= "d800" && hex <= "dbff");
    if (pairHalf) continue;
    if (hex == "0000") {
      out += "0000\\u0000";
      i += 4;
    } else if (hex.starts_with("dc") && hex[2] >= '8') {
      out += "0000\\u00" + hex.substr(2);
      i += 4;
    }
  }
  return out;
}

std::optional<std::string> takeRawBytes(const std::string& marked) {
  std::string out;
  for (size_t i = 0; i < marked.size(); ++i) {
    if (marked[i] != '\0') {
      out += marked[i];
      continue;
    }
    if (i + 1 < marked.size() && marked[i + 1] == '\0') {
      out += '\0';
    } else if (i + 2 < marked.size() && utf8::sequenceLength(marked, i + 1) == 2 &&
               static_cast<uint8_t>(marked[i + 1]) <= 0xC3) {
      out += static_cast<char>(((marked[i + 1] & 0x03) << 6) | (marked[i + 2] & 0x3F));  // U+0080..U+00FF
      ++i;
    } else {
      return std::nullopt;
    }
    ++i;
  }
  return out;
}

}  // namespace

std::string formatRunLogLine(const std::vector<std::string>& arguments) {
  std::string line = "[";
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line += ',';
    appendJsonString(line, arguments[i]);
  }
  line += "]\n";
  return line;
}

std::optional<std::vector<std::string>> parseRunLogLine(std::string_view line) {
  const nlohmann::json parsed = nlohmann::json::parse(markRawBytes(line), nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_array()) return std::nullopt;
  std::vector<std::string> arguments;
  for (const auto& value : parsed) {
    if (!value.is_string()) return std::nullopt;
    auto bytes = takeRawBytes(value.get_ref<const std::string&>());
    if (!bytes) return std::nullopt;
    arguments.push_back(std::move(*bytes));
  }
  return arguments;
}

std::optional<std::vector<std::vector<std::string>>> readRunLog(const std::string& stateFolder) {
  std::vector<std::vector<std::string>> runs;
  const posix::Expected<std::string> text = posix::readFile(stateFolder + "/" + kRunLogFileName);
  if (!text) return text.error().code() == ENOENT ? std::optional(runs) : std::nullopt;
  for (size_t start = 0; start < text->size();) {
    size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    auto arguments = parseRunLogLine(std::string_view(*text).substr(start, end - start));
    if (!arguments) return std::nullopt;
    runs.push_back(std::move(*arguments));
    start = end + 1;
  }
  return runs;
}

}  // namespace networksetup
