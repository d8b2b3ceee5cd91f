#include "tools/networksetup/DesktopBackend.h"

#include <algorithm>

namespace networksetup {

std::unique_ptr<DesktopBackend> makeBackend(const std::string& name) {
  if (name == "gsettings") return makeGSettingsBackend();
  return makeKdeBackend();
}

posix::Expected<std::vector<std::string>> chooseBackends(const char* setting) {
  const std::string text = setting == nullptr ? "" : setting;
  if (text.empty() || text == "auto") return kDesktopBackendNames;
  if (text == "none") return std::vector<std::string>{};
  std::vector<std::string> chosen;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (std::find(kDesktopBackendNames.begin(), kDesktopBackendNames.end(), name) == kDesktopBackendNames.end()) {
      return posix::Error("NETWORKSETUP_DESKTOP names an unknown desktop \"" + name +
                          "\"; use auto, none, or a comma-separated list of gsettings and kde");
    }
    if (std::find(chosen.begin(), chosen.end(), name) == chosen.end()) chosen.push_back(name);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return chosen;
}

}  // namespace networksetup
