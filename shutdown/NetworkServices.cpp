#include "shutdown/NetworkServices.h"

namespace {

// Calls `take` with each line: split at a line feed not preceded by a carriage return, empty ones
// dropped, nothing trimmed.
template <typename Take>
void forEachLine(std::string_view text, Take take) {
  size_t start = 0;
  auto line = [&](size_t end) {
    if (end > start) take(text.substr(start, end - start));
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && !(i > 0 && text[i - 1] == '\r')) {
      line(i);
      start = i + 1;
    }
  }
  line(text.size());
}

}  // namespace

std::vector<std::string> parseNetworkServices(std::string_view text) {
  std::vector<std::string> services;
  forEachLine(text, [&](std::string_view line) {
    if (line.find('*') == std::string_view::npos) services.emplace_back(line);
  });
  return services;
}

std::vector<std::string> parseDisabledNetworkServices(std::string_view text) {
  std::vector<std::string> services;
  forEachLine(text, [&](std::string_view line) {
    if (line.starts_with('*')) services.emplace_back(line.substr(1));
  });
  return services;
}
