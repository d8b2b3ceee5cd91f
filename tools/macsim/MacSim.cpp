#include "tools/macsim/MacSim.h"

namespace macsim {

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments, std::string* error) {
  CommandLine line;
  size_t i = 0;
  for (; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      ++i;
      break;
    }
    if (argument == "-h" || argument == "--help") {
      line.help = true;
      return line;
    }
    if (argument == "--simulated") {
      line.simulated = true;
    } else if (argument == "--state") {
      if (i + 1 >= arguments.size() || arguments[i + 1].empty() || arguments[i + 1] == "--") {
        *error = "--state needs a folder";
        return std::nullopt;
      }
      line.stateFolder = arguments[++i];
    } else if (argument.starts_with("--state=")) {
      line.stateFolder = argument.substr(8);
      if (line.stateFolder->empty()) {
        *error = "--state needs a folder";
        return std::nullopt;
      }
    } else if (argument.starts_with("-")) {
      *error = "unknown option " + argument;
      return std::nullopt;
    } else {
      break;
    }
  }
  line.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i), arguments.end());
  if (line.command.empty()) {
    *error = "no command to run";
    return std::nullopt;
  }
  return line;
}

std::string defaultStateFolder(const char* xdgStateHome, const std::string& home) {
  std::string base;
  if (xdgStateHome != nullptr && xdgStateHome[0] == '/') {
    base = xdgStateHome;
  } else {
    base = home + "/.local/state";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/proxyhost/networksetup";
}

}  // namespace macsim
