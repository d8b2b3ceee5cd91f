#include "shutdown/NetworkServices.h"

std::vector<std::string> parseNetworkServices(std::string_view text) {
  std::vector<std::string> services;
  size_t start = 0;
  auto take = [&](size_t end) {
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.find('*') == std::string_view::npos) services.emplace_back(line);
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && !(i > 0 && text[i - 1] == '\r')) {
      take(i);
      start = i + 1;
    }
  }
  take(text.size());
  return services;
}
