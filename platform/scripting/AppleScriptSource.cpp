#include "platform/scripting/AppleScriptSource.h"

#include <cstddef>
#include <cstdint>

#include "platform/Utf8.h"

namespace {

class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  // Spaces and tabs; line feeds and returns too when `acrossLines` (only at the ends of the
  // source: inside a statement a line break would start another statement).
  size_t skipBlanks(bool acrossLines) {
    size_t start = pos_;
    while (!atEnd()) {
      char c = peek();
      if (c == ' ' || c == '\t' || (acrossLines && (c == '\n' || c == '\r'))) {
        ++pos_;
      } else {
        break;
      }
    }
    return pos_ - start;
  }

  // A keyword, matched without regard to ASCII case, that does not run on into a longer word.
  bool keyword(std::string_view word) {
    if (text_.size() - pos_ < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
      char c = text_[pos_ + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != word[i]) return false;
    }
    size_t end = pos_ + word.size();
    if (end < text_.size() && isWordCharacter(text_[end])) return false;
    pos_ = end;
    return true;
  }

  // A string literal starting at the cursor; nothing when it is malformed or unterminated.
  std::optional<std::string> stringLiteral() {
    if (atEnd() || peek() != '"') return std::nullopt;
    ++pos_;
    std::string out;
    while (!atEnd()) {
      char c = text_[pos_++];
      if (c == '"') return out;
      if (c == '\0') return std::nullopt;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (atEnd()) return std::nullopt;
      switch (text_[pos_++]) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        default: return std::nullopt;
      }
    }
    return std::nullopt;
  }

 private:
  static bool isWordCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<AppleScriptShellCommand> parseShellScriptSource(std::string_view source) {
  if (!utf8::isValid(source)) return std::nullopt;
  Cursor in(source);
  in.skipBlanks(true);
  if (!in.keyword("do") || in.skipBlanks(false) == 0) return std::nullopt;
  if (!in.keyword("shell") || in.skipBlanks(false) == 0) return std::nullopt;
  if (!in.keyword("script")) return std::nullopt;
  in.skipBlanks(false);
  auto command = in.stringLiteral();
  if (!command) return std::nullopt;

  AppleScriptShellCommand result{std::move(*command), false};
  size_t blanks = in.skipBlanks(false);
  if (blanks > 0 && in.keyword("with")) {
    if (in.skipBlanks(false) == 0 || !in.keyword("administrator") || in.skipBlanks(false) == 0 ||
        !in.keyword("privileges")) {
      return std::nullopt;
    }
    result.withAdministratorPrivileges = true;
  }
  in.skipBlanks(true);
  if (!in.atEnd()) return std::nullopt;
  return result;
}

std::string appleScriptStringLiteral(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}
