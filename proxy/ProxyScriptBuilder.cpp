// The enable and disable scripts: plain text, one networksetup command a line. What the scripts
// say is a contract with the administrator run and with the people who read them in the prompt,
// so every byte here is deliberate; the tests hold the exact texts.
#include "proxy/ProxyScriptBuilder.h"

#include "platform/macos_tools/NetworkSetupCommands.h"

namespace {

namespace words = networksetup_commands;

std::string joinLines(const std::vector<std::string>& lines) {
  std::string script;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) script.push_back('\n');
    script += lines[i];
  }
  return script;
}

std::string command(std::string_view option, const std::string& quotedService) {
  return std::string(words::kPath) + " " + std::string(option) + " " + quotedService;
}

}  // namespace

std::string proxy::shellQuote(std::string_view text) {
  // Inside apostrophes bash takes every byte literally except the apostrophe itself, which has to
  // leave the quotes, come in escaped, and reopen them.
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back('\'');
  return quoted;
}

std::string proxy::buildEnableProxyScript(const std::vector<std::string>& services, const std::string& host,
                                          int64_t port, int64_t socks, const std::vector<std::string>& bypass) {
  std::vector<std::string> lines = {"#!/bin/bash", "set -e"};
  const std::string qHost = shellQuote(host);
  std::string qBypass;
  for (size_t i = 0; i < bypass.size(); ++i) {
    if (i > 0) qBypass.push_back(' ');
    qBypass += shellQuote(bypass[i]);
  }
  const std::string portText = std::to_string(port);
  const std::string socksText = std::to_string(socks);

  for (const auto& service : services) {
    const std::string qSvc = shellQuote(service);
    lines.push_back(command(words::kSetWebProxy, qSvc) + " " + qHost + " " + portText);
    lines.push_back(command(words::kSetSecureWebProxy, qSvc) + " " + qHost + " " + portText);
    lines.push_back(command(words::kSetSocksFirewallProxy, qSvc) + " " + qHost + " " + socksText);
    // Written even without domains: the tool then clears the list, which is what an empty list means.
    lines.push_back(command(words::kSetProxyBypassDomains, qSvc) + " " + qBypass);
    for (std::string_view state : words::kProxyStateSettings) lines.push_back(command(state, qSvc) + " on");
  }
  return joinLines(lines);
}

std::string proxy::buildDisableProxyScript(const std::vector<std::string>& services) {
  // No "set -e" and "|| true" everywhere: switching off must reach every service even when one
  // of them is gone or refuses.
  std::vector<std::string> lines = {"#!/bin/bash"};
  for (const auto& service : services) {
    const std::string qSvc = shellQuote(service);
    for (std::string_view state : words::kProxyStateSettings) lines.push_back(command(state, qSvc) + " off || true");
  }
  return joinLines(lines);
}
