// The enable and disable scripts: plain text, one networksetup command a line. What the scripts
// say is a contract with the administrator run and with the people who read them in the prompt,
// so every byte here is deliberate; the tests hold the exact texts.
#include "proxy/ProxyScriptBuilder.h"

namespace {

constexpr const char* kNetworkSetup = "/usr/sbin/networksetup";

std::string joinLines(const std::vector<std::string>& lines) {
  std::string script;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) script.push_back('\n');
    script += lines[i];
  }
  return script;
}

std::string command(const char* option, const std::string& quotedService) {
  return std::string(kNetworkSetup) + " " + option + " " + quotedService;
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
    lines.push_back(command("-setwebproxy", qSvc) + " " + qHost + " " + portText);
    lines.push_back(command("-setsecurewebproxy", qSvc) + " " + qHost + " " + portText);
    lines.push_back(command("-setsocksfirewallproxy", qSvc) + " " + qHost + " " + socksText);
    // Written even without domains: the tool then clears the list, which is what an empty list means.
    lines.push_back(command("-setproxybypassdomains", qSvc) + " " + qBypass);
    lines.push_back(command("-setwebproxystate", qSvc) + " on");
    lines.push_back(command("-setsecurewebproxystate", qSvc) + " on");
    lines.push_back(command("-setsocksfirewallproxystate", qSvc) + " on");
  }
  return joinLines(lines);
}

std::string proxy::buildDisableProxyScript(const std::vector<std::string>& services) {
  // No "set -e" and "|| true" everywhere: switching off must reach every service even when one
  // of them is gone or refuses.
  std::vector<std::string> lines = {"#!/bin/bash"};
  for (const auto& service : services) {
    const std::string qSvc = shellQuote(service);
    lines.push_back(command("-setwebproxystate", qSvc) + " off || true");
    lines.push_back(command("-setsecurewebproxystate", qSvc) + " off || true");
    lines.push_back(command("-setsocksfirewallproxystate", qSvc) + " off || true");
  }
  return joinLines(lines);
}
