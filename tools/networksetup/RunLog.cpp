#include "tools/networksetup/RunLog.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace networksetup {

namespace {

// Length of the well-formed UTF-8 sequence that starts at `at`, or 0 when the bytes there are not one.
size_t utf8SequenceLength(std::string_view s, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t secondMin = 0x80, secondMax = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondMin = 0xA0;  // overlong
    if (lead == 0xED) secondMax = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondMin = 0x90;  // overlong
    if (lead == 0xF4) secondMax = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > s.size()) return 0;
  if (byte(at + 1) < secondMin || byte(at + 1) > secondMax) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

void appendHex4(std::string& out, unsigned value) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

void appendJsonString(std::string& out, std::string_view s) {
  out += '"';
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<uint8_t>(s[i]);
    const size_t length = utf8SequenceLength(s, i);
    if (length == 0) {
      appendHex4(out, 0xDC00u | c);
      ++i;
      continue;
    }
    if (length == 1) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20) {
            appendHex4(out, c);
          } else {
            out += static_cast<char>(c);
          }
      }
    } else {
      out.append(s.substr(i, length));
    }
    i += length;
  }
  out += '"';
}

void appendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

// A small reader for exactly the grammar the log needs: an array of strings.
class LineParser {
 public:
  explicit LineParser(std::string_view text) : s_(text) {}

  std::optional<std::vector<std::string>> parse() {
    std::vector<std::string> result;
    skipBlanks();
    if (!take('[')) return std::nullopt;
    skipBlanks();
    if (!take(']')) {
      for (;;) {
        auto value = string();
        if (!value) return std::nullopt;
        result.push_back(std::move(*value));
        skipBlanks();
        if (take(']')) break;
        if (!take(',')) return std::nullopt;
        skipBlanks();
      }
    }
    skipBlanks();
    if (pos_ != s_.size()) return std::nullopt;
    return result;
  }

 private:
  bool take(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  void skipBlanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) ++pos_;
  }

  std::optional<uint32_t> hex4() {
    if (pos_ + 4 > s_.size()) return std::nullopt;
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
    }
    return value;
  }

  std::optional<std::string> string() {
    if (!take('"')) return std::nullopt;
    std::string out;
    for (;;) {
      if (pos_ >= s_.size()) return std::nullopt;
      const auto c = static_cast<uint8_t>(s_[pos_++]);
      if (c == '"') return out;
      if (c < 0x20) return std::nullopt;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (pos_ >= s_.size()) return std::nullopt;
      switch (s_[pos_++]) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          auto unit = hex4();
          if (!unit) return std::nullopt;
          if (*unit >= 0xD800 && *unit <= 0xDBFF) {
            if (!take('\\') || !take('u')) return std::nullopt;
            auto low = hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
            appendUtf8(out, 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00));
          } else if (*unit >= 0xDC80 && *unit <= 0xDCFF) {
            out += static_cast<char>(*unit & 0xFF);  // a raw byte that was not UTF-8
          } else if (*unit >= 0xDC00 && *unit <= 0xDFFF) {
            return std::nullopt;
          } else {
            appendUtf8(out, *unit);
          }
          break;
        }
        default:
          return std::nullopt;
      }
    }
  }

  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = utf8SequenceLength(bytes, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

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
  return LineParser(line).parse();
}

std::optional<std::vector<std::vector<std::string>>> readRunLog(const std::string& stateFolder) {
  std::vector<std::vector<std::string>> runs;
  const std::string path = stateFolder + "/" + kRunLogFileName;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 && errno == ENOENT) return runs;
    return std::nullopt;
  }
  std::string line;
  while (std::getline(in, line)) {
    auto arguments = parseRunLogLine(line);
    if (!arguments) return std::nullopt;
    runs.push_back(std::move(*arguments));
  }
  if (in.bad()) return std::nullopt;
  return runs;
}

}  // namespace networksetup
