#include "tools/networksetup/Commands.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/macos_tools/NetworkSetupCommands.h"

namespace networksetup {

namespace {

namespace words = networksetup_commands;

constexpr const char* kLegend = "An asterisk (*) denotes that a network service is disabled.\n";
constexpr const char* kParametersNotValid = "** Error: The parameters were not valid.\n";

using Arguments = std::vector<std::string>;  // the command's own arguments, without the command
struct Command;
using Handler = std::function<CommandOutcome(const Command&, const Arguments&, NetworkState&)>;

struct Command {
  std::string_view name;
  size_t minArguments;
  size_t maxArguments;
  std::string_view usage;  // what follows the command name in the usage line
  Handler run;
};

CommandOutcome usageError(const Command& command, const std::string& reason) {
  CommandOutcome outcome;
  outcome.status = exitUsage;
  outcome.standardError = "networksetup: " + reason + "\n" + "Usage: networksetup " + std::string(command.name);
  if (!command.usage.empty()) outcome.standardError += " " + std::string(command.usage);
  outcome.standardError += "\n";
  return outcome;
}

CommandOutcome unknownService(const std::string& name) {
  CommandOutcome outcome;
  outcome.status = exitInvalidParameters;
  outcome.standardOutput = name + " is not a recognized network service.\n" + kParametersNotValid;
  return outcome;
}

CommandOutcome done(bool changed) {
  CommandOutcome outcome;
  outcome.changedState = changed;
  return outcome;
}

CommandOutcome printed(std::string text) {
  CommandOutcome outcome;
  outcome.standardOutput = std::move(text);
  return outcome;
}

// Plain decimal without sign; leading zeros are harmless.
std::optional<uint16_t> parsePort(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  if (text.size() > 5) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) value = value * 10 + static_cast<uint32_t>(c - '0');
  if (value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::optional<bool> parseOnOff(std::string_view text) {
  if (text == "on") return true;
  if (text == "off") return false;
  return std::nullopt;
}

Handler setProxy(ProxyKind kind) {
  return [=](const Command& command, const Arguments& args, NetworkState& state) {
    NetworkService* service = state.find(args[0]);
    if (service == nullptr) return unknownService(args[0]);
    auto port = parsePort(args[2]);
    if (!port) return usageError(command, "\"" + args[2] + "\" is not a port number from 0 to 65535");
    ProxySetting& proxy = service->proxy(kind);
    proxy.server = args[1];
    proxy.port = *port;
    return done(true);
  };
}

Handler setEnabled(std::function<bool&(NetworkService&)> field) {
  return [=](const Command& command, const Arguments& args, NetworkState& state) {
    NetworkService* service = state.find(args[0]);
    if (service == nullptr) return unknownService(args[0]);
    auto on = parseOnOff(args[1]);
    if (!on) return usageError(command, "\"" + args[1] + "\" is neither on nor off");
    field(*service) = *on;
    return done(true);
  };
}

Handler setProxyState(ProxyKind kind) {
  return setEnabled([kind](NetworkService& service) -> bool& { return service.proxy(kind).enabled; });
}

Handler getProxy(ProxyKind kind) {
  return [=](const Command&, const Arguments& args, NetworkState& state) {
    NetworkService* service = state.find(args[0]);
    if (service == nullptr) return unknownService(args[0]);
    const ProxySetting& proxy = service->proxy(kind);
    return printed(std::string("Enabled: ") + (proxy.enabled ? "Yes" : "No") + "\n" +  //
                   "Server: " + proxy.server + "\n" +                                  //
                   "Port: " + std::to_string(proxy.port) + "\n" +                      //
                   "Authenticated Proxy Enabled: 0\n");
  };
}

CommandOutcome listAllNetworkServices(const Command&, const Arguments&, NetworkState& state) {
  std::string text = kLegend;
  for (const auto& service : state.services) {
    if (service.present) text += (service.enabled ? "" : "*") + service.name + "\n";
  }
  return printed(std::move(text));
}

CommandOutcome setProxyBypassDomains(const Command&, const Arguments& args, NetworkState& state) {
  NetworkService* service = state.find(args[0]);
  if (service == nullptr) return unknownService(args[0]);
  // The macOS tool's way to clear the list is the single word "Empty"; among other domains it is a name.
  if (args.size() == 2 && args[1] == "Empty") {
    service->bypassDomains.clear();
  } else {
    service->bypassDomains.assign(args.begin() + 1, args.end());
  }
  return done(true);
}

CommandOutcome getProxyBypassDomains(const Command&, const Arguments& args, NetworkState& state) {
  NetworkService* service = state.find(args[0]);
  if (service == nullptr) return unknownService(args[0]);
  if (service->bypassDomains.empty()) return printed("There aren't any bypass domains set on " + args[0] + ".\n");
  std::string text;
  for (const auto& domain : service->bypassDomains) text += domain + "\n";
  return printed(std::move(text));
}

CommandOutcome createNetworkService(const Command&, const Arguments& args, NetworkState& state) {
  if (state.find(args[0]) != nullptr) {
    CommandOutcome outcome;
    outcome.status = exitInvalidParameters;
    outcome.standardOutput = "A network service named " + args[0] + " already exists.\n" + kParametersNotValid;
    return outcome;
  }
  NetworkService service;
  service.name = args[0];
  service.hardwarePort = args[1];
  state.services.push_back(std::move(service));
  return done(true);
}

CommandOutcome removeNetworkService(const Command&, const Arguments& args, NetworkState& state) {
  NetworkService* service = state.find(args[0]);
  if (service == nullptr) return unknownService(args[0]);
  state.services.erase(state.services.begin() + (service - state.services.data()));
  return done(true);
}

constexpr std::string_view kServiceOnly = "<networkservice>";
constexpr std::string_view kProxyUsage = "<networkservice> <domain> <port number>";
constexpr std::string_view kStateUsage = "<networkservice> <on off>";

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {words::kListAllNetworkServices, 0, 0, "", listAllNetworkServices},
      {"-getwebproxy", 1, 1, kServiceOnly, getProxy(ProxyKind::web)},
      {words::kSetWebProxy, 3, 3, kProxyUsage, setProxy(ProxyKind::web)},
      {words::kSetWebProxyState, 2, 2, kStateUsage, setProxyState(ProxyKind::web)},
      {"-getsecurewebproxy", 1, 1, kServiceOnly, getProxy(ProxyKind::secureWeb)},
      {words::kSetSecureWebProxy, 3, 3, kProxyUsage, setProxy(ProxyKind::secureWeb)},
      {words::kSetSecureWebProxyState, 2, 2, kStateUsage, setProxyState(ProxyKind::secureWeb)},
      {"-getsocksfirewallproxy", 1, 1, kServiceOnly, getProxy(ProxyKind::socksFirewall)},
      {words::kSetSocksFirewallProxy, 3, 3, kProxyUsage, setProxy(ProxyKind::socksFirewall)},
      {words::kSetSocksFirewallProxyState, 2, 2, kStateUsage, setProxyState(ProxyKind::socksFirewall)},
      {"-getproxybypassdomains", 1, 1, kServiceOnly, getProxyBypassDomains},
      {words::kSetProxyBypassDomains, 1, SIZE_MAX, "<networkservice> [domain1] [domain2] [...]", setProxyBypassDomains},
      {"-createnetworkservice", 2, 2, "<networkservicename> <hardwareport>", createNetworkService},
      {"-removenetworkservice", 1, 1, kServiceOnly, removeNetworkService},
      {"-setnetworkserviceenabled", 2, 2, kStateUsage,
       setEnabled([](NetworkService& service) -> bool& { return service.enabled; })},
  };
  return table;
}

CommandOutcome generalUsage(const std::string& reason) {
  std::string names;
  for (const auto& command : commands()) names += (names.empty() ? "" : ", ") + std::string(command.name);
  CommandOutcome outcome;
  outcome.status = exitUsage;
  outcome.standardError = "networksetup: " + reason + "\n" +
                          "Usage: networksetup <command> [<argument> ...], where <command> is one of " + names + "\n";
  return outcome;
}

}  // namespace

CommandOutcome runCommand(const std::vector<std::string>& arguments, NetworkState& state) {
  if (arguments.empty()) return generalUsage("no command given");
  for (const auto& command : commands()) {
    if (command.name != arguments[0]) continue;
    const Arguments rest(arguments.begin() + 1, arguments.end());
    if (rest.size() < command.minArguments || rest.size() > command.maxArguments) {
      return usageError(command, "wrong number of arguments for " + std::string(command.name));
    }
    return command.run(command, rest, state);
  }
  return generalUsage("unknown command \"" + arguments[0] + "\"");
}

}  // namespace networksetup
