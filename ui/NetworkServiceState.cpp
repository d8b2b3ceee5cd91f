#include "ui/NetworkServiceState.h"

#include <charconv>
#include <chrono>

#include "platform/foundation/NSTask.h"
#include "platform/macos_tools/NetworkSetupCommands.h"

namespace ui {

namespace {

namespace commands = networksetup_commands;
// A read that takes longer than this is a hung tool; the page says so rather than waiting.
constexpr std::chrono::seconds kReadLimit{5};

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> result;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) result.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return result;
}

// A run of the tool that ended by itself: its exit status and standard output.
struct ToolRun {
  int status = -1;
  std::string output;
};

posix::Expected<ToolRun> runTool(std::vector<std::string> arguments) {
  NSTask task;
  NSPipe output;
  task.setLaunchPath(std::string(commands::kPath));
  task.setArguments(std::move(arguments));
  task.setStandardOutput(output);
  std::optional<NSError> error;
  if (!runTaskWithTimeLimit(task, kReadLimit, &error)) {
    return posix::Error(error ? error->localizedDescription() : "networksetup could not be started");
  }
  ToolRun run{.output = output.fileHandleForReading().readDataToEndOfFile()};
  if (task.terminationReason() != NSTaskTerminationReasonExit) {
    return posix::Error("networksetup did not finish within " + std::to_string(kReadLimit.count()) + " s");
  }
  run.status = task.terminationStatus();
  return run;
}

std::string describeOne(const char* name, const ProxyState& state) {
  return std::string(name) + " " + state.server + ":" + std::to_string(state.port);
}

}  // namespace

std::vector<NetworkService> parseServiceList(std::string_view text) {
  std::vector<NetworkService> services;
  auto all = lines(text);
  for (size_t i = 0; i < all.size(); ++i) {
    std::string_view line = all[i];
    if (i == 0 && line.find("asterisk") != std::string_view::npos) continue;  // the legend
    NetworkService service;
    if (line.starts_with('*')) {
      service.enabled = false;
      line.remove_prefix(1);
    }
    if (line.empty()) continue;
    service.name = std::string(line);
    services.push_back(std::move(service));
  }
  return services;
}

std::optional<ProxyState> parseProxyState(std::string_view text) {
  ProxyState state;
  bool sawEnabled = false;
  for (std::string_view line : lines(text)) {
    if (line.starts_with("Enabled: ")) {
      std::string_view value = line.substr(9);
      if (value != "Yes" && value != "No") return std::nullopt;
      state.enabled = value == "Yes";
      sawEnabled = true;
    } else if (line.starts_with("Server: ")) {
      state.server = std::string(line.substr(8));
    } else if (line.starts_with("Port: ")) {
      std::string_view value = line.substr(6);
      int port = 0;
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
      if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
      state.port = port;
    }
  }
  if (!sawEnabled) return std::nullopt;
  return state;
}

std::string describe(const ServiceProxies& proxies) {
  if (!proxies.readable) return "State unknown: networksetup did not answer for this service";
  if (!proxies.anyOn()) return "Proxies off";
  std::vector<std::string> parts;
  if (proxies.web.enabled) parts.push_back(describeOne("Web", proxies.web));
  if (proxies.secureWeb.enabled) parts.push_back(describeOne("secure web", proxies.secureWeb));
  if (proxies.socks.enabled) parts.push_back(describeOne("SOCKS", proxies.socks));
  std::string text = "On: ";
  for (size_t i = 0; i < parts.size(); ++i) text += (i ? ", " : "") + parts[i];
  return text;
}

NetworkSnapshot readNetworkSnapshot(const std::vector<std::string>& chosen) {
  NetworkSnapshot snapshot;
  auto list = runTool({std::string(commands::kListAllNetworkServices)});
  if (!list) {
    snapshot.services = list.error();
  } else if (list->status != 0) {
    snapshot.services =
        posix::Error("networksetup -listallnetworkservices ended with status " + std::to_string(list->status));
  } else {
    snapshot.services = parseServiceList(list->output);
  }
  for (const std::string& name : chosen) {
    ServiceProxies proxies{.service = name};
    proxies.readable = true;
    for (auto [option, state] :
         {std::pair{commands::kGetWebProxy, &proxies.web}, std::pair{commands::kGetSecureWebProxy, &proxies.secureWeb},
          std::pair{commands::kGetSocksFirewallProxy, &proxies.socks}}) {
      auto get = runTool({std::string(option), name});
      auto parsed = get && get->status == 0 ? parseProxyState(get->output) : std::nullopt;
      if (!parsed) {
        proxies.readable = false;
        break;
      }
      *state = *parsed;
    }
    snapshot.proxies.push_back(std::move(proxies));
  }
  return snapshot;
}

}  // namespace ui
