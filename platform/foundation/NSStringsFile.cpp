#include "platform/foundation/NSStringsFile.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/Utf8.h"

namespace {

bool isHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// UTF-16 text to UTF-8; an unpaired surrogate becomes U+FFFD. An odd byte count is an error.
std::optional<std::string> fromUtf16(std::span<const char> bytes, bool bigEndian) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::string out;
  auto unit = [&](size_t i) -> uint32_t {
    auto b0 = static_cast<uint8_t>(bytes[i]), b1 = static_cast<uint8_t>(bytes[i + 1]);
    return bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0);
  };
  for (size_t i = 0; i < bytes.size(); i += 2) {
    uint32_t u = unit(i);
    if (isHighSurrogate(u) && i + 3 < bytes.size() && isLowSurrogate(unit(i + 2))) {
      utf8::append(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 2) - 0xDC00));
      i += 2;
    } else if (isHighSurrogate(u) || isLowSurrogate(u)) {
      utf8::append(out, 0xFFFD);
    } else {
      utf8::append(out, u);
    }
  }
  return out;
}

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  std::optional<std::map<std::string, std::string>> parse() {
    std::map<std::string, std::string> table;
    for (;;) {
      if (!skipSpaceAndComments()) return std::nullopt;
      if (at_ == s_.size()) return table;
      auto key = string();
      if (!key || !skipSpaceAndComments()) return std::nullopt;
      std::string value = *key;
      if (peek() == '=') {
        ++at_;
        if (!skipSpaceAndComments()) return std::nullopt;
        auto v = string();
        if (!v || !skipSpaceAndComments()) return std::nullopt;
        value = std::move(*v);
      }
      if (peek() != ';') return std::nullopt;
      ++at_;
      table[*key] = std::move(value);
    }
  }

 private:
  char peek() const { return at_ < s_.size() ? s_[at_] : '\0'; }

  bool skipSpaceAndComments() {
    while (at_ < s_.size()) {
      char c = s_[at_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++at_;
      } else if (s_.compare(at_, 2, "//") == 0) {
        auto end = s_.find('\n', at_);
        at_ = end == std::string::npos ? s_.size() : end + 1;
      } else if (s_.compare(at_, 2, "/*") == 0) {
        auto end = s_.find("*/", at_ + 2);
        if (end == std::string::npos) return false;  // an unclosed comment
        at_ = end + 2;
      } else {
        break;
      }
    }
    return true;
  }

  static bool isUnquotedChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
  }

  std::optional<std::string> string() {
    if (peek() == '"') return quoted();
    size_t start = at_;
    // A "/" that opens a comment ends the word; the caller skips the comment.
    while (at_ < s_.size() && isUnquotedChar(s_[at_]) && s_.compare(at_, 2, "//") != 0 &&
           s_.compare(at_, 2, "/*") != 0) {
      ++at_;
    }
    if (at_ == start) return std::nullopt;
    return s_.substr(start, at_ - start);
  }

  static int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  std::optional<uint32_t> utf16Unit() {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) {
      int d = hexDigit(peek());
      if (d < 0) return std::nullopt;
      u = u << 4 | static_cast<uint32_t>(d);
      ++at_;
    }
    return u;
  }

  std::optional<std::string> quoted() {
    ++at_;  // the opening quote
    std::string out;
    for (;;) {
      if (at_ >= s_.size()) return std::nullopt;  // no closing quote
      char c = s_[at_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= s_.size()) return std::nullopt;
      char e = s_[at_++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'a': out += '\a'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'v': out += '\v'; break;
        case 'U':
        case 'u': {
          auto u = utf16Unit();
          if (!u) return std::nullopt;
          if (isHighSurrogate(*u) && (s_.compare(at_, 2, "\\U") == 0 || s_.compare(at_, 2, "\\u") == 0)) {
            size_t back = at_;
            at_ += 2;
            auto low = utf16Unit();
            if (low && isLowSurrogate(*low)) {
              utf8::append(out, 0x10000 + ((*u - 0xD800) << 10) + (*low - 0xDC00));
              break;
            }
            at_ = back;
          }
          utf8::append(out, isHighSurrogate(*u) || isLowSurrogate(*u) ? 0xFFFD : *u);
          break;
        }
        default:
          if (e >= '0' && e <= '7') {
            uint32_t v = static_cast<uint32_t>(e - '0');
            for (int i = 0; i < 2 && peek() >= '0' && peek() <= '7'; ++i)
              v = v * 8 + static_cast<uint32_t>(s_[at_++] - '0');
            utf8::append(out, v);
          } else {
            out += e;  // \" \\ \' and any other character stand for themselves
          }
      }
    }
  }

  const std::string& s_;
  size_t at_ = 0;
};

bool startsWith(std::span<const char> bytes, std::string_view prefix) {
  return bytes.size() >= prefix.size() && std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

std::optional<std::map<std::string, std::string>> NSParseStringsFile(std::span<const char> bytes) {
  if (bytes.size() > UINT32_MAX) return std::nullopt;
  if (startsWith(bytes, "bplist00") || startsWith(bytes, "<?xml")) {
    std::optional<PropertyListStrings> list = parsePropertyListStrings(bytes);
    if (!list || !list->onlyStrings) return std::nullopt;
    return std::move(list->strings);
  }
  std::optional<std::string> text;
  if (startsWith(bytes, "\xFF\xFE")) {
    text = fromUtf16(bytes.subspan(2), false);
  } else if (startsWith(bytes, "\xFE\xFF")) {
    text = fromUtf16(bytes.subspan(2), true);
  } else if (startsWith(bytes, "\xEF\xBB\xBF")) {
    text = std::string(bytes.data() + 3, bytes.size() - 3);
  } else {
    text = std::string(bytes.data(), bytes.size());
  }
  if (!text) return std::nullopt;
  return Parser(*text).parse();
}

std::optional<PropertyListStrings> parsePropertyListStrings(std::span<const char> bytes) {
  if (bytes.empty() || bytes.size() > UINT32_MAX) return std::nullopt;
  const auto size = static_cast<uint32_t>(bytes.size());
  plist_t root = nullptr;
  if (plist_is_binary(bytes.data(), size)) {
    plist_from_bin(bytes.data(), size, &root);
  } else {
    plist_from_xml(bytes.data(), size, &root);
  }
  if (root == nullptr) return std::nullopt;
  std::unique_ptr<void, decltype(&plist_free)> owner(root, &plist_free);
  if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  PropertyListStrings list;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(root, &it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, it, &key, &value);
    if (key == nullptr) break;
    if (value != nullptr && plist_get_node_type(value) == PLIST_STRING) {
      char* s = nullptr;
      plist_get_string_val(value, &s);
      list.strings[key] = s != nullptr ? s : "";
      free(s);
    } else {
      list.onlyStrings = false;
    }
    free(key);
  }
  free(it);
  return list;
}
