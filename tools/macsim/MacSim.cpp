#include "tools/macsim/MacSim.h"

namespace macsim {

posix::Expected<CommandLine> parseCommandLine(const std::vector<std::string>& arguments) {
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
        return posix::Error("--state needs a folder");
      }
      line.stateFolder = arguments[++i];
    } else if (argument.starts_with("--state=")) {
      line.stateFolder = argument.substr(8);
      if (line.stateFolder->empty()) {
        return posix::Error("--state needs a folder");
      }
    } else if (argument.starts_with("-")) {
      return posix::Error("unknown option " + argument);
    } else {
      break;
    }
  }
  line.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i), arguments.end());
  if (line.command.empty()) {
    return posix::Error("no command to run");
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
