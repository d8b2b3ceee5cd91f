#include "platform/service_management/XDGDesktopEntry.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>

namespace {

// A desktop-entry string value: backslash, line breaks and tabs escaped.
std::string escapeStringValue(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return std::string(s.substr(b, e - b));
}

}  // namespace

std::string XDGDesktopEntryExecValue(const std::string& executable) {
  // Characters the Exec grammar reserves: with any of them the path goes in double quotes, where
  // only ", `, $ and \ need a backslash.
  static constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string argument;
  if (executable.find_first_of(reserved) == std::string::npos) {
    argument = executable;
  } else {
    argument = "\"";
    for (char c : executable) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') argument += '\\';
      argument += c;
    }
    argument += '"';
  }
  // "%" opens a field code; a literal one is doubled.
  std::string withPercents;
  for (char c : argument) {
    withPercents += c;
    if (c == '%') withPercents += '%';
  }
  return escapeStringValue(withPercents);
}

std::optional<std::vector<std::string>> XDGDesktopEntryExecArguments(std::string_view value) {
  std::string text;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\') {
      text += value[i];
      continue;
    }
    if (++i == value.size()) return std::nullopt;
    switch (value[i]) {
      case 's': text += ' '; break;
      case 'n': text += '\n'; break;
      case 't': text += '\t'; break;
      case 'r': text += '\r'; break;
      case '\\': text += '\\'; break;
      default: return std::nullopt;
    }
  }
  std::vector<std::string> arguments;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    std::string argument;
    if (text[i] == '"') {
      for (++i;; ++i) {
        if (i == text.size()) return std::nullopt;  // the quote never closes
        if (text[i] == '"') break;
        if (text[i] == '\\') {
          if (i + 1 == text.size() || std::string_view("\"`$\\").find(text[i + 1]) == std::string_view::npos) {
            return std::nullopt;
          }
          ++i;
        }
        argument += text[i];
      }
      ++i;
      if (i < text.size() && text[i] != ' ') return std::nullopt;
    } else {
      for (; i < text.size() && text[i] != ' '; ++i) {
        if (text[i] == '"' || text[i] == '\\') return std::nullopt;  // reserved outside quotes
        argument += text[i];
      }
    }
    std::string unpercented;
    for (size_t k = 0; k < argument.size(); ++k) {
      unpercented += argument[k];
      if (argument[k] == '%' && k + 1 < argument.size() && argument[k + 1] == '%') ++k;
    }
    arguments.push_back(std::move(unpercented));
  }
  return arguments;
}

std::string XDGAutostartEntryText(const std::string& name, const std::string& executable) {
  return "[Desktop Entry]\nType=Application\nName=" + escapeStringValue(name) +
         "\nExec=" + XDGDesktopEntryExecValue(executable) + "\nTerminal=false\n";
}

bool XDGAutostartEntryStarts(std::string_view text, const std::optional<std::string>& executable) {
  if (text.find('\0') != std::string_view::npos) return false;
  // The main group's keys; a later one of the same name wins, as desktops read it.
  std::map<std::string, std::string, std::less<>> entry;
  int groups = 0;
  bool inMainGroup = false;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string t = trim(text.substr(at, end - at));
    at = end + 1;
    if (t.empty() || t[0] == '#') continue;
    if (t[0] == '[') {
      const std::string_view name = std::string_view(t).substr(1, t.size() - 2);
      if (t.back() != ']' || name.empty() || name.find_first_of("[]") != std::string_view::npos) return false;
      ++groups;
      inMainGroup = name == "Desktop Entry";
      // The main group comes first, and once.
      if (inMainGroup != (groups == 1)) return false;
      continue;
    }
    const size_t eq = t.find('=');
    if (groups == 0 || eq == std::string::npos) return false;
    const std::string key = trim(std::string_view(t).substr(0, eq));
    const bool keyIsWellFormed = !key.empty() && std::all_of(key.begin(), key.end(), [](unsigned char c) {
      return std::isalnum(c) || c == '-' || c == '[' || c == ']' || c == '@' || c == '_' || c == '.';
    });
    if (!keyIsWellFormed) return false;
    std::string_view value = std::string_view(t).substr(eq + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    if (inMainGroup) entry[key] = std::string(value);
  }
  auto valueOf = [&](std::string_view key) -> std::optional<std::string_view> {
    auto it = entry.find(key);
    if (it == entry.end()) return std::nullopt;
    return std::string_view(it->second);
  };
  if (groups == 0 || valueOf("Type") != "Application") return false;
  const auto hidden = valueOf("Hidden");
  if (hidden == "true" || hidden == "1") return false;
  const auto autostart = valueOf("X-GNOME-Autostart-enabled");
  if (autostart == "false" || autostart == "0") return false;
  const auto exec = valueOf("Exec");
  if (!exec) return false;
  const auto arguments = XDGDesktopEntryExecArguments(*exec);
  if (!arguments || arguments->empty() || arguments->front().empty()) return false;
  return !executable || arguments->front() == *executable;
}
